#include "engine/TcpClient.h"

#include "base/Error.h"

#include <QDeadlineTimer>

#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quellnet {

namespace {

// Waits until a non-blocking connect has finished; returns its errno value (0 on success).
int finishConnect(int fd, int timeoutSeconds)
{
    QDeadlineTimer deadline(timeoutSeconds < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(timeoutSeconds * 1000LL));
    pollfd entry { fd, POLLOUT, 0 };
    for (;;) {
        const qint64 remaining = deadline.remainingTime();
        const int ready = ::poll(&entry, 1, remaining < 0 ? -1 : static_cast<int>(remaining));
        if (ready > 0)
            break;
        if (ready == 0)
            return ETIMEDOUT;
        if (errno != EINTR)
            return errno;
    }
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

} // namespace

TcpClient::TcpClient(QString address, quint16 port) : m_address(std::move(address)), m_port(port) { }

TcpClient::~TcpClient()
{
    close();
}

bool TcpClient::connect(int timeoutSeconds, QString *error)
{
    std::lock_guard connectLock(m_connectMutex);
    close();

    sockaddr_storage storage {};
    socklen_t length = 0;
    const QByteArray host = m_address.toLatin1();
    auto *ipv4 = reinterpret_cast<sockaddr_in *>(&storage);
    auto *ipv6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    if (::inet_pton(AF_INET, host.constData(), &ipv4->sin_addr) == 1) {
        ipv4->sin_family = AF_INET;
        ipv4->sin_port = htons(m_port);
        length = sizeof(sockaddr_in);
    } else if (::inet_pton(AF_INET6, host.constData(), &ipv6->sin6_addr) == 1) {
        ipv6->sin6_family = AF_INET6;
        ipv6->sin6_port = htons(m_port);
        length = sizeof(sockaddr_in6);
    } else {
        return failWith(error, QStringLiteral("Invalid address: %1").arg(m_address));
    }

    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return failWith(error, qt_error_string(errno));

    int failure = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&storage), length) != 0)
        failure = errno == EINPROGRESS ? finishConnect(fd, timeoutSeconds) : errno;
    if (failure == 0) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
            failure = errno;
    }
    if (failure != 0) {
        ::close(fd);
        return failWith(error, qt_error_string(failure));
    }

    auto connection = std::make_shared<TcpConnection>(fd);
    std::lock_guard lock(m_mutex);
    m_connection = std::move(connection);
    return true;
}

std::optional<QByteArray> TcpClient::read(qsizetype maxBytes, int timeoutSeconds)
{
    const std::shared_ptr<TcpConnection> current = connection();
    if (!current)
        return std::nullopt;
    return current->read(maxBytes, timeoutSeconds);
}

bool TcpClient::send(const QString &text, QString *error)
{
    const std::shared_ptr<TcpConnection> current = connection();
    return current ? current->send(text.toUtf8(), error) : failWith(error, QStringLiteral("Not connected"));
}

void TcpClient::close()
{
    std::shared_ptr<TcpConnection> previous;
    {
        std::lock_guard lock(m_mutex);
        previous = std::move(m_connection);
    }
    // The descriptor itself is closed once its last reader has let go of it.
    if (previous)
        previous->shutDown();
}

std::shared_ptr<TcpConnection> TcpClient::connection() const
{
    std::lock_guard lock(m_mutex);
    return m_connection;
}

quint16 TcpClient::localPort() const
{
    const std::shared_ptr<TcpConnection> current = connection();
    return current ? current->localPort() : 0;
}

} // namespace quellnet
