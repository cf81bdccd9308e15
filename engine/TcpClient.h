#pragma once

#include "engine/TcpConnection.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

namespace quellnet {

// A plain TCP client for one numeric address and port, connected again on demand. Creating it
// opens nothing. connect() first closes the previous connection, if any, so a reader still
// blocked on that one wakes up and sees it closed; reads and sends then use the new connection.
//
// One read and one send may run at the same time on different threads. A reader that must never
// move on to a later connection takes connection() once and reads from that object only.
class TcpClient
{
public:
    TcpClient(QString address, quint16 port);
    ~TcpClient();

    TcpClient(const TcpClient &) = delete;
    TcpClient &operator=(const TcpClient &) = delete;

    const QString &address() const { return m_address; }
    quint16 port() const { return m_port; }

    // Closes the current connection, then connects, waiting at most `timeoutSeconds`. On failure
    // `error` says why, e.g. "Connection refused".
    bool connect(int timeoutSeconds, QString *error = nullptr);
    // Up to `maxBytes` bytes (at least one) from the current connection, or nothing when it is
    // closed or broken, when there is none, or when `timeoutSeconds` pass (-1: no limit).
    std::optional<QByteArray> read(qsizetype maxBytes, int timeoutSeconds);
    // Sends `text` as UTF-8 over the current connection.
    bool send(const QString &text, QString *error = nullptr);
    // Closes the current connection from our side. Later reads and sends fail until connect().
    void close();

    // The current connection, or null.
    std::shared_ptr<TcpConnection> connection() const;
    // Local port of the current connection; 0 when there is none.
    quint16 localPort() const;

private:
    const QString m_address;
    const quint16 m_port;
    std::mutex m_connectMutex; // one connect at a time
    mutable std::mutex m_mutex; // guards m_connection
    std::shared_ptr<TcpConnection> m_connection;
};

} // namespace quellnet
