#include "engine/TcpConnection.h"

#include "base/Error.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quellnet {

TcpConnection::TcpConnection(int fd) : m_fd(fd)
{
    sockaddr_storage address {};
    socklen_t length = sizeof(address);
    if (::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) == 0 && address.ss_family == AF_INET) {
        const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(&address);
        m_localAddress = ntohl(ipv4->sin_addr.s_addr);
        m_localPort = ntohs(ipv4->sin_port);
    }
}

TcpConnection::~TcpConnection()
{
    ::close(m_fd);
}

std::optional<QByteArray> TcpConnection::read(qsizetype maxBytes, int timeoutSeconds)
{
    return read(maxBytes, std::chrono::milliseconds(timeoutSeconds < 0 ? -1 : timeoutSeconds * 1000));
}

std::optional<QByteArray> TcpConnection::read(qsizetype maxBytes, std::chrono::milliseconds timeout)
{
    if (maxBytes <= 0 || m_shutDown.load())
        return std::nullopt;

    pollfd entry { m_fd, POLLIN, 0 };
    const int timeoutMs = timeout.count() < 0 ? -1 : static_cast<int>(timeout.count());
    for (;;) {
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready > 0)
            break;
        if (ready == 0)
            return std::nullopt;
        // Restarting after a signal may stretch a finite time-out a little; nothing relies on it.
        if (errno != EINTR)
            return std::nullopt;
    }

    QByteArray bytes(maxBytes, Qt::Uninitialized);
    for (;;) {
        const ssize_t received = ::recv(m_fd, bytes.data(), static_cast<std::size_t>(maxBytes), 0);
        if (received > 0 && !m_shutDown.load()) {
            bytes.truncate(received);
            return bytes;
        }
        if (received < 0 && errno == EINTR)
            continue;
        if (received == 0 && !m_shutDown.load())
            m_closedByPeer.store(true);
        return std::nullopt;
    }
}

bool TcpConnection::send(const QByteArray &bytes, QString *error)
{
    std::lock_guard lock(m_sendMutex);
    if (m_shutDown.load())
        return failWith(error, QStringLiteral("Not connected"));
    if (m_closedByPeer.load())
        return failWith(error, QStringLiteral("Connection closed by peer"));
    const char *data = bytes.constData();
    std::size_t left = static_cast<std::size_t>(bytes.size());
    while (left > 0) {
        const ssize_t sent = ::send(m_fd, data, left, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return failWith(error, qt_error_string(errno));
        }
        data += sent;
        left -= static_cast<std::size_t>(sent);
    }
    return true;
}

void TcpConnection::shutDown()
{
    m_shutDown.store(true);
    ::shutdown(m_fd, SHUT_RDWR);
}

} // namespace quellnet
