#include "helperlink/LocalHelperConnection.h"

#include "helperlink/HelperWire.h"

#include <QFile>
#include <QLoggingCategory>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcHelperLink, "quellnet.helperlink", QtInfoMsg)

namespace quellnet {

namespace {

using VersionReply = std::function<void(const QString &version)>;
using TerminationHandler = std::function<void(std::int32_t terminationStatus)>;

// A connect() to a helper that accepts nothing must not hold the thread for ever.
constexpr int connectTimeoutSeconds = 5;

QString invalidatedError(const QString &reason)
{
    return QStringLiteral("The connection to service named " QUELLNET_HELPER_ID " was invalidated: %1.").arg(reason);
}

QString errnoText(int error)
{
    // Thread-safe, unlike strerror().
    return qt_error_string(error);
}

// Runs an error handler on a thread of its own: for messages that arrive when the connection's
// thread is gone, so that no handler ever runs on the caller's (possibly the GUI) thread.
void failOnOwnThread(HelperErrorHandler handler, HelperError error)
{
    if (handler)
        std::thread([handler = std::move(handler), error = std::move(error)] {
            ::pthread_setname_np(::pthread_self(), "qn-helper-error");
            handler(error);
        }).detach();
}

} // namespace

class LocalHelperConnection::Private
{
public:
    explicit Private(QString path) : socketPath(std::move(path)), wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) { }
    ~Private()
    {
        if (wakeFd >= 0)
            ::close(wakeFd);
    }
    Private(const Private &) = delete;
    Private &operator=(const Private &) = delete;

    struct Pending
    {
        HelperRequest::Operation operation;
        HelperErrorHandler errorHandler;
        VersionReply versionReply;
        TerminationHandler terminationHandler;
    };

    struct OutgoingLine
    {
        std::uint64_t id;
        QByteArray bytes;
    };

    void submit(HelperRequest request, Pending entry);
    void startWorker(const std::shared_ptr<Private> &self);
    void requestInvalidation(const QString &reason);
    void releaseByOwner();
    void setInvalidationHandler(std::function<void()> handler);

private:
    void run();
    int connectSocket(QString &failure) const;
    // Serves the socket until it fails; returns why.
    QString serve(int fd);
    bool dispatch(QByteArrayView line, QString &failure);
    void invalidateNow(const QString &reason);
    void runTasks(std::unique_lock<std::mutex> &lock);
    void wake() const;
    void drainWake() const;

    const QString socketPath;
    const int wakeFd;

    std::mutex mutex;
    std::condition_variable invalidationHandlerDone;
    // Everything below is guarded by `mutex`.
    std::thread worker;
    std::thread::id workerId;
    bool invalidated = false; // the connection is over; new messages fail at once
    QString invalidationReason; // set when someone asked for the end; empty otherwise
    bool ownerGone = false; // the LocalHelperConnection was destroyed
    bool acceptingTasks = true; // false once the thread has run its last tasks
    std::function<void()> invalidationHandler;
    bool invalidationHandlerRunning = false;
    std::uint64_t nextId = 1;
    std::map<std::uint64_t, Pending> pending;
    std::deque<OutgoingLine> outgoing;
    std::vector<std::function<void()>> tasks;
};

// The proxy a caller sends through. It holds the connection's state weakly: a proxy kept beyond
// the connection's life fails its messages instead of keeping a dead connection around.
class LocalHelperConnection::Proxy final : public HelperProtocol
{
public:
    Proxy(std::weak_ptr<Private> connection, HelperErrorHandler errorHandler)
        : m_connection(std::move(connection)), m_errorHandler(std::move(errorHandler))
    { }

    void getVersionWithResponseHandler(VersionReply reply) override
    {
        HelperRequest request;
        request.operation = HelperRequest::Operation::GetVersion;
        send(std::move(request), { HelperRequest::Operation::GetVersion, m_errorHandler, std::move(reply), {} });
    }

    void runOpenVPNWithConfig(const QString &config, const QString &clientUp, const QString &clientDown,
        const QString &managementPassword, TerminationHandler terminationHandler) override
    {
        HelperRequest request;
        request.operation = HelperRequest::Operation::RunOpenVPN;
        request.config = config;
        request.clientUp = clientUp;
        request.clientDown = clientDown;
        request.managementPassword = managementPassword;
        send(std::move(request),
            { HelperRequest::Operation::RunOpenVPN, m_errorHandler, {}, std::move(terminationHandler) });
    }

    void killOpenVPN() override
    {
        HelperRequest request;
        request.operation = HelperRequest::Operation::KillOpenVPN;
        send(std::move(request), { HelperRequest::Operation::KillOpenVPN, m_errorHandler, {}, {} });
    }

private:
    void send(HelperRequest request, Private::Pending entry)
    {
        if (const std::shared_ptr<Private> connection = m_connection.lock())
            connection->submit(std::move(request), std::move(entry));
        else
            failOnOwnThread(m_errorHandler, { invalidatedError(QStringLiteral("the connection was released")) });
    }

    std::weak_ptr<Private> m_connection;
    HelperErrorHandler m_errorHandler;
};

void LocalHelperConnection::Private::submit(HelperRequest request, Pending entry)
{
    std::unique_lock lock(mutex);
    request.id = nextId++;
    QByteArray line = HelperWire::encode(request);
    QString failure;
    if (invalidated || !invalidationReason.isEmpty() || ownerGone)
        failure = invalidatedError(
            invalidationReason.isEmpty() ? QStringLiteral("the connection is closed") : invalidationReason);
    else if (line.size() - 1 > HelperWire::maxLineLength)
        failure = QStringLiteral("The request to " QUELLNET_HELPER_ID " is too long to send.");

    if (failure.isEmpty()) {
        pending.emplace(request.id, std::move(entry));
        outgoing.push_back({ request.id, std::move(line) });
        lock.unlock();
        wake();
        return;
    }
    if (!entry.errorHandler)
        return;
    if (worker.joinable() && acceptingTasks) {
        tasks.push_back([handler = std::move(entry.errorHandler), failure] { handler(HelperError { failure }); });
        lock.unlock();
        wake();
    } else {
        lock.unlock();
        failOnOwnThread(std::move(entry.errorHandler), { failure });
    }
}

void LocalHelperConnection::Private::startWorker(const std::shared_ptr<Private> &self)
{
    std::lock_guard lock(mutex);
    if (worker.joinable() || ownerGone)
        return;
    // The thread keeps the state alive for as long as it runs, also past the owner's destructor.
    worker = std::thread([self] {
        // The program's own threads carry names ("qn-..."), so top, gdb and /proc tell them from Qt's.
        ::pthread_setname_np(::pthread_self(), "qn-helper-link");
        self->run();
    });
    workerId = worker.get_id();
}

void LocalHelperConnection::Private::requestInvalidation(const QString &reason)
{
    {
        std::lock_guard lock(mutex);
        if (invalidationReason.isEmpty())
            invalidationReason = reason;
    }
    wake();
}

void LocalHelperConnection::Private::releaseByOwner()
{
    std::unique_lock lock(mutex);
    ownerGone = true;
    invalidationHandler = nullptr;
    if (invalidationReason.isEmpty())
        invalidationReason = QStringLiteral("the connection was released");
    if (worker.joinable()) {
        // Never join: the thread may be inside a reply handler that takes its time, or this may
        // be that very thread. It ends by itself once it has failed what is left.
        worker.detach();
        lock.unlock();
        wake();
        return;
    }
    // Never resumed: nobody else will fail what was queued.
    acceptingTasks = false;
    std::map<std::uint64_t, Pending> left = std::move(pending);
    pending.clear();
    outgoing.clear();
    const QString error = invalidatedError(invalidationReason);
    lock.unlock();
    for (auto &entry : left)
        failOnOwnThread(std::move(entry.second.errorHandler), { error });
}

void LocalHelperConnection::Private::setInvalidationHandler(std::function<void()> handler)
{
    std::unique_lock lock(mutex);
    if (std::this_thread::get_id() != workerId)
        invalidationHandlerDone.wait(lock, [this] { return !invalidationHandlerRunning; });
    invalidationHandler = std::move(handler);
}

void LocalHelperConnection::Private::wake() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
}

void LocalHelperConnection::Private::drainWake() const
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(wakeFd, &count, sizeof count);
}

void LocalHelperConnection::Private::run()
{
    QString failure;
    {
        std::lock_guard lock(mutex);
        failure = invalidationReason;
    }
    if (failure.isEmpty() && wakeFd < 0)
        failure = QStringLiteral("cannot make a wake-up descriptor: %1").arg(errnoText(errno));
    int fd = -1;
    if (failure.isEmpty())
        fd = connectSocket(failure);
    if (fd >= 0) {
        failure = serve(fd);
        ::close(fd);
    }
    qCDebug(lcHelperLink) << "helper connection ended:" << failure;
    invalidateNow(failure);

    // From here on the thread only fails late messages, until the owner lets go.
    std::unique_lock lock(mutex);
    for (;;) {
        runTasks(lock);
        if (ownerGone)
            break;
        lock.unlock();
        pollfd wait { wakeFd, POLLIN, 0 };
        // Without a wake-up descriptor (eventfd failed), look again every so often.
        ::poll(&wait, 1, wakeFd >= 0 ? -1 : 50);
        drainWake();
        lock.lock();
    }
    acceptingTasks = false;
    runTasks(lock);
}

int LocalHelperConnection::Private::connectSocket(QString &failure) const
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath);
    if (path.isEmpty() || size_t(path.size()) >= sizeof address.sun_path) {
        failure = QStringLiteral("the socket path %1 is unusable").arg(socketPath);
        return -1;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failure = QStringLiteral("cannot make a socket: %1").arg(errnoText(errno));
        return -1;
    }
    const timeval timeout { connectTimeoutSeconds, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        failure = QStringLiteral("cannot connect to %1: %2").arg(socketPath, errnoText(errno));
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

QString LocalHelperConnection::Private::serve(int fd)
{
    std::deque<OutgoingLine> unsent;
    qsizetype sentOfFront = 0;
    QByteArray received;
    char buffer[16384];

    std::unique_lock lock(mutex);
    for (;;) {
        if (!invalidationReason.isEmpty())
            return invalidationReason;
        while (!outgoing.empty()) {
            unsent.push_back(std::move(outgoing.front()));
            outgoing.pop_front();
        }
        runTasks(lock);
        lock.unlock();

        pollfd fds[2] = { { fd, short(POLLIN | (unsent.empty() ? 0 : POLLOUT)), 0 }, { wakeFd, POLLIN, 0 } };
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return QStringLiteral("poll failed: %1").arg(errnoText(errno));
        if (fds[1].revents & POLLIN)
            drainWake();

        if (fds[0].revents & POLLOUT) {
            while (!unsent.empty()) {
                const QByteArray &bytes = unsent.front().bytes;
                const ssize_t n = ::send(fd, bytes.constData() + sentOfFront, size_t(bytes.size() - sentOfFront),
                    MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0) {
                    if (errno == EAGAIN || errno == EINTR)
                        break;
                    return QStringLiteral("cannot write to the helper: %1").arg(errnoText(errno));
                }
                sentOfFront += n;
                if (sentOfFront < bytes.size())
                    break;
                // killOpenVPN has no reply: once it is out, its error handler is done with.
                const std::uint64_t id = unsent.front().id;
                unsent.pop_front();
                sentOfFront = 0;
                std::lock_guard guard(mutex);
                const auto it = pending.find(id);
                if (it != pending.end() && it->second.operation == HelperRequest::Operation::KillOpenVPN)
                    pending.erase(it);
            }
        }

        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0)
                return QStringLiteral("the helper closed the connection");
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return QStringLiteral("cannot read from the helper: %1").arg(errnoText(errno));
            if (n > 0) {
                received.append(buffer, n);
                qsizetype start = 0;
                for (qsizetype end = received.indexOf('\n'); end >= 0; end = received.indexOf('\n', start)) {
                    QString failure;
                    if (!dispatch(QByteArrayView(received).sliced(start, end - start), failure))
                        return failure;
                    start = end + 1;
                }
                received.remove(0, start);
                if (received.size() > HelperWire::maxLineLength)
                    return QStringLiteral("the helper sent a line longer than %1 bytes").arg(HelperWire::maxLineLength);
            }
        }
        lock.lock();
    }
}

bool LocalHelperConnection::Private::dispatch(QByteArrayView line, QString &failure)
{
    const HelperDecoded<HelperReply> decoded = HelperWire::decodeReply(line);
    if (!decoded.message) {
        failure = QStringLiteral("the helper sent an unreadable message (%1)").arg(decoded.error);
        return false;
    }
    const HelperReply &reply = *decoded.message;

    Pending entry;
    {
        std::lock_guard lock(mutex);
        const auto it = pending.find(reply.id);
        const bool fits = it != pending.end()
            && (reply.kind == HelperReply::Kind::Error
                || (reply.kind == HelperReply::Kind::Version
                    && it->second.operation == HelperRequest::Operation::GetVersion)
                || (reply.kind == HelperReply::Kind::TerminationStatus
                    && it->second.operation == HelperRequest::Operation::RunOpenVPN));
        if (!fits) {
            failure = QStringLiteral("the helper answered request %1, which awaits no such answer").arg(reply.id);
            return false;
        }
        // Taken out before it runs: a request's handlers run at most once, and never both.
        entry = std::move(it->second);
        pending.erase(it);
    }

    switch (reply.kind) {
    case HelperReply::Kind::Version:
        if (entry.versionReply)
            entry.versionReply(reply.text);
        break;
    case HelperReply::Kind::TerminationStatus:
        if (entry.terminationHandler)
            entry.terminationHandler(reply.terminationStatus);
        break;
    case HelperReply::Kind::Error:
        if (entry.errorHandler)
            entry.errorHandler(HelperError { reply.text });
        break;
    case HelperReply::Kind::Run: // no request of this connection awaits one
        break;
    }
    return true;
}

void LocalHelperConnection::Private::invalidateNow(const QString &reason)
{
    std::unique_lock lock(mutex);
    invalidated = true;
    if (invalidationReason.isEmpty())
        invalidationReason = reason;
    std::map<std::uint64_t, Pending> failed = std::move(pending);
    pending.clear();
    outgoing.clear();
    lock.unlock();

    const HelperError error { invalidatedError(reason) };
    for (auto &entry : failed) {
        if (entry.second.errorHandler)
            entry.second.errorHandler(error);
    }

    lock.lock();
    runTasks(lock);
    std::function<void()> handler = std::move(invalidationHandler);
    invalidationHandler = nullptr;
    if (!handler)
        return;
    invalidationHandlerRunning = true;
    lock.unlock();
    handler();
    lock.lock();
    invalidationHandlerRunning = false;
    invalidationHandlerDone.notify_all();
}

void LocalHelperConnection::Private::runTasks(std::unique_lock<std::mutex> &lock)
{
    while (!tasks.empty()) {
        std::vector<std::function<void()>> batch = std::move(tasks);
        tasks.clear();
        lock.unlock();
        for (auto &task : batch)
            task();
        lock.lock();
    }
}

LocalHelperConnection::LocalHelperConnection(QString socketPath) : d(std::make_shared<Private>(std::move(socketPath)))
{ }

LocalHelperConnection::~LocalHelperConnection()
{
    d->releaseByOwner();
}

QString LocalHelperConnection::defaultSocketPath()
{
    return QStringLiteral("/run/" QUELLNET_HELPER_ID ".sock");
}

void LocalHelperConnection::setInvalidationHandler(std::function<void()> handler)
{
    d->setInvalidationHandler(std::move(handler));
}

void LocalHelperConnection::resume()
{
    d->startWorker(d);
}

void LocalHelperConnection::invalidate()
{
    d->requestInvalidation(QStringLiteral("the client invalidated it"));
    // An unresumed connection still ends on its own thread, like every other ending.
    d->startWorker(d);
}

std::shared_ptr<HelperProtocol> LocalHelperConnection::remoteObjectProxyWithErrorHandler(HelperErrorHandler handler)
{
    return std::make_shared<Proxy>(d, std::move(handler));
}

} // namespace quellnet
