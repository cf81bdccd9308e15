#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>

namespace quellnet {

// One established TCP connection: owns its socket descriptor and closes it when the last holder
// lets go. A TcpClient hands its current connection out as a shared pointer, so a reader that is
// blocked in read() keeps the descriptor alive even while the client reconnects: the descriptor
// number can never be reused for the new connection under the reader's feet. shutDown() wakes
// such a reader, whose read then reports the connection closed.
//
// One read and one send may run at the same time on different threads; sends are serialised so
// that two commands never interleave on the wire.
class TcpConnection
{
public:
    // Takes ownership of a connected, blocking socket.
    explicit TcpConnection(int fd);
    ~TcpConnection();

    TcpConnection(const TcpConnection &) = delete;
    TcpConnection &operator=(const TcpConnection &) = delete;

    // Up to `maxBytes` bytes (at least one), or nothing when the connection is closed, broken or
    // shut down, or when `timeoutSeconds` pass without data (-1: wait without limit).
    std::optional<QByteArray> read(qsizetype maxBytes, int timeoutSeconds);
    // The same with a time-out in milliseconds (negative: wait without limit).
    std::optional<QByteArray> read(qsizetype maxBytes, std::chrono::milliseconds timeout);
    // Sends all of `bytes`. Never raises SIGPIPE. On failure `error` says why, e.g. "Not connected".
    bool send(const QByteArray &bytes, QString *error = nullptr);

    // Closes the connection from our side: blocked and later reads return nothing, sends fail.
    void shutDown();
    // Whether shutDown() was called, as opposed to the peer closing the connection.
    bool isShutDown() const { return m_shutDown.load(); }
    // Whether a read saw the peer close the connection. Sends fail from then on: the kernel would
    // still take the bytes once, but nobody reads them.
    bool isClosedByPeer() const { return m_closedByPeer.load(); }

    // The first caller gets true, every later one false. Used to keep one reader per connection.
    bool claimReader() { return !m_readerClaimed.exchange(true); }

    // This end's IPv4 address (host byte order) and port; 0 when unknown.
    quint32 localAddress() const { return m_localAddress; }
    quint16 localPort() const { return m_localPort; }

private:
    const int m_fd;
    quint32 m_localAddress = 0;
    quint16 m_localPort = 0;
    std::atomic<bool> m_shutDown { false };
    std::atomic<bool> m_closedByPeer { false };
    std::atomic<bool> m_readerClaimed { false };
    std::mutex m_sendMutex;
};

} // namespace quellnet
