#include "helperlink/LocalHelperConnection.h"

#include "helperlink/HelperProxy.h"
#include "helperlink/HelperWire.h"

#include <QLocalSocket>
#include <QLoggingCategory>
#include <QThread>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>

namespace quellnet {

Q_LOGGING_CATEGORY(lcHelperLink, "quellnet.helperlink", QtInfoMsg)

namespace {

// A connect to a helper that accepts nothing must not hold the connection for ever.
constexpr int connectTimeoutMs = 5000;

QString invalidatedError(const QString &reason)
{
    return QStringLiteral("The connection to service named " QUELLNET_HELPER_ID " was invalidated: %1.").arg(reason);
}

// In the system's words, as connect(2) gives them.
QString whyNotConnected(const QLocalSocket &socket)
{
    const auto error
        = socket.state() == QLocalSocket::ConnectingState ? QLocalSocket::SocketTimeoutError : socket.error();
    for (const auto &[known, code] : { std::pair { QLocalSocket::ServerNotFoundError, ENOENT },
             { QLocalSocket::ConnectionRefusedError, ECONNREFUSED }, { QLocalSocket::SocketAccessError, EACCES },
             { QLocalSocket::SocketTimeoutError, ETIMEDOUT } }) {
        if (error == known)
            return qt_error_string(code);
    }
    return socket.errorString();
}

// A thread of its own outlives every connection: it deletes a connection's thread once that has
// ended, and fails what is sent to a connection that is gone, off the sender's thread.
QObject *afterlife()
{
    static QObject *const context = [] {
        auto *thread = new QThread;
        thread->setObjectName(QStringLiteral("qn-helper-late"));
        auto *object = new QObject;
        object->moveToThread(thread);
        thread->start();
        return object;
    }();
    return context;
}

} // namespace

// The connection's end of the socket, on the connection's own thread and event loop: it writes the
// requests and hands each reply to the job of the request with its id. The members up to m_path are
// shared with the callers' threads, under m_mutex; the rest is the thread's own. Once the owner
// lets go, the thread fails what is left, deletes the link and ends.
class LocalHelperConnection::Link final : public QObject
{
public:
    explicit Link(QString path) : m_path(std::move(path))
    {
        // The program's own threads carry names ("qn-..."), so top, gdb and /proc tell them apart.
        m_thread->setObjectName(QStringLiteral("qn-helper-link"));
        moveToThread(m_thread);
        connect(m_thread, &QThread::started, this, &Link::open);
        connect(m_thread, &QThread::finished, [ended = m_thread] {
            QMetaObject::invokeMethod(
                afterlife(), [ended] { delete ended; }, Qt::QueuedConnection);
        });
    }

    // Any thread. A connection asked to end (`why`) before it was resumed ends on its own thread all
    // the same, but never reaches the helper.
    void start(const QString &why = {})
    {
        const std::lock_guard lock(m_mutex);
        if (m_closing.isEmpty() && !why.isEmpty()) {
            m_closing = why;
            QMetaObject::invokeMethod(
                this, [this, why] { end(why); }, Qt::QueuedConnection);
        }
        m_thread->start(); // nothing happens when it runs already
    }

    // The owner let go. Never waits for a handler: without the invalidation handler, what is left
    // fails behind the messages sent before, then the thread deletes the link and ends.
    static void release(Link *link)
    {
        std::unique_lock lock(link->m_mutex);
        link->m_invalidationHandler = nullptr;
        if (link->m_closing.isEmpty())
            link->m_closing = QStringLiteral("the connection was released");
        const QString why = link->m_closing;
        QThread *const unstarted = link->m_thread->isRunning() ? nullptr : link->m_thread;
        lock.unlock();
        // From here on the link may be gone at any moment, unless its thread has yet to start.
        QMetaObject::invokeMethod(
            link,
            [link, why] {
                link->m_mutex.lock(); // so that what the owner did comes before the end
                link->m_mutex.unlock();
                link->end(why);
                link->m_thread->quit();
                link->deleteLater();
            },
            Qt::QueuedConnection);
        if (unstarted != nullptr)
            unstarted->start();
    }

    // The thread's first work, before any message it was sent.
    void open()
    {
        std::unique_lock lock(m_mutex);
        QString why = m_closing;
        lock.unlock();
        if (why.isEmpty()) {
            m_socket.connectToServer(m_path);
            if (m_socket.waitForConnected(connectTimeoutMs)) {
                connect(&m_socket, &QLocalSocket::readyRead, this, &Link::readReplies);
                connect(&m_socket, &QLocalSocket::disconnected, this, &Link::lost);
                connect(&m_socket, &QLocalSocket::errorOccurred, this, &Link::lost);
                return;
            }
            why = QStringLiteral("cannot connect to %1: %2").arg(m_path, whyNotConnected(m_socket));
        }
        // Behind the messages sent before resume(), so that they fail before the invalidation.
        QMetaObject::invokeMethod(
            this, [this, why] { end(why); }, Qt::QueuedConnection);
    }

    void send(HelperRequest request, const HelperJob &job)
    {
        request.id = m_nextId++;
        const QByteArray line = HelperWire::encode(request);
        if (!m_ended.isEmpty())
            return job.fail(invalidatedError(m_ended));
        if (line.size() - 1 > HelperWire::maxLineLength)
            return job.fail(QStringLiteral("The request to " QUELLNET_HELPER_ID " is too long to send."));
        m_jobs.emplace(request.id, job);
        if (m_socket.state() != QLocalSocket::ConnectedState)
            return; // the end that open() queued fails it
        m_socket.write(line);
        m_socket.flush();
        // A request that awaits no answer is done with once it is out.
        if (!job.awaitsAnswer() && m_socket.bytesToWrite() == 0)
            m_jobs.erase(request.id);
    }

    void readReplies()
    {
        while (m_ended.isEmpty() && m_socket.canReadLine()) {
            const HelperDecoded<HelperReply> decoded = HelperWire::decodeReply(m_socket.readLine());
            if (!decoded.message)
                return end(QStringLiteral("the helper sent an unreadable message (%1)").arg(decoded.error));
            const auto it = m_jobs.find(decoded.message->id);
            if (it == m_jobs.end() || !it->second.isAnsweredBy(decoded.message->kind))
                return end(QStringLiteral("the helper answered request %1, which awaits no such answer")
                               .arg(decoded.message->id));
            // Taken out before it runs: a request's handlers run at most once, and never both.
            const HelperJob job = std::move(it->second);
            m_jobs.erase(it);
            job.resolve(*decoded.message);
        }
        if (m_ended.isEmpty() && m_socket.bytesAvailable() > HelperWire::maxLineLength)
            end(QStringLiteral("the helper sent a line longer than %1 bytes").arg(HelperWire::maxLineLength));
    }

    void lost()
    {
        readReplies(); // what came before the end still counts
        const bool talking
            = m_socket.state() == QLocalSocket::ConnectedState && m_socket.error() != QLocalSocket::PeerClosedError;
        end(talking ? QStringLiteral("cannot talk to the helper: %1").arg(m_socket.errorString())
                    : QStringLiteral("the helper closed the connection"));
    }

    // The connection is over: what waits fails, then the invalidation handler runs, once.
    void end(const QString &reason)
    {
        if (!m_ended.isEmpty())
            return;
        m_ended = reason;
        qCDebug(lcHelperLink) << "helper connection ended:" << reason;
        m_socket.disconnect(this);
        m_socket.abort();
        for (const auto &[id, job] : std::exchange(m_jobs, {}))
            job.fail(invalidatedError(reason));
        std::unique_lock lock(m_mutex);
        if (const std::function<void()> handler = std::exchange(m_invalidationHandler, nullptr)) {
            m_handlerRunning = true;
            lock.unlock();
            handler();
            lock.lock();
            m_handlerRunning = false;
            m_handlerDone.notify_all();
        }
    }

    QThread *const m_thread = new QThread;
    std::mutex m_mutex;
    std::condition_variable m_handlerDone;
    std::function<void()> m_invalidationHandler;
    bool m_handlerRunning = false;
    QString m_closing; // why the connection is to end, once someone asked for it

    const QString m_path;
    QLocalSocket m_socket { this };
    std::map<std::uint64_t, HelperJob> m_jobs; // by their requests' ids
    std::uint64_t m_nextId = 1;
    QString m_ended; // why the connection is over; empty while it lasts
};

LocalHelperConnection::LocalHelperConnection(QString socketPath)
    : d(new Link(std::move(socketPath)), &Link::release) { }

LocalHelperConnection::~LocalHelperConnection() = default;

QString LocalHelperConnection::defaultSocketPath()
{
    return QStringLiteral("/run/" QUELLNET_HELPER_ID ".sock");
}

void LocalHelperConnection::setInvalidationHandler(std::function<void()> handler)
{
    std::unique_lock lock(d->m_mutex);
    if (QThread::currentThread() != d->m_thread)
        d->m_handlerDone.wait(lock, [this] { return !d->m_handlerRunning; });
    d->m_invalidationHandler = std::move(handler);
}

void LocalHelperConnection::resume()
{
    d->start();
}

void LocalHelperConnection::invalidate()
{
    d->start(QStringLiteral("the client invalidated it"));
}

std::shared_ptr<HelperProtocol> LocalHelperConnection::remoteObjectProxyWithErrorHandler(HelperErrorHandler handler)
{
    // The proxy holds the connection weakly: one kept beyond the connection's life fails its
    // messages, never on the sender's thread, instead of keeping a dead connection around.
    return std::make_shared<HelperProxy>(
        [link = std::weak_ptr<Link>(d)](const HelperRequest &request, const HelperJob &job) {
            if (const std::shared_ptr<Link> alive = link.lock())
                QMetaObject::invokeMethod(
                    alive.get(), [target = alive.get(), request, job] { target->send(request, job); },
                    Qt::QueuedConnection);
            else
                QMetaObject::invokeMethod(
                    afterlife(), [job] { job.fail(invalidatedError(QStringLiteral("the connection was released"))); },
                    Qt::QueuedConnection);
        },
        std::move(handler));
}

} // namespace quellnet
