#pragma once

#include "EngineTestSupport.h"
#include "TcpSocketTable.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace quellnet::test {

// Stands in for openvpn's management interface on 127.0.0.1:1337 and keeps what each accepted
// connection received. Lives on the GUI thread; QTRY_* lets it work.
class ManagementServer
{
public:
    static constexpr quint16 port = 1337;

    bool listen() { return m_server.listen(QHostAddress(QStringLiteral("127.0.0.1")), port); }

    // The connection accepted `index`-th (0 first), once it exists; null after `timeoutMs`.
    QTcpSocket *connection(int index, int timeoutMs = 10000)
    {
        static_cast<void>(QTest::qWaitFor(
            [&] {
                while (m_server.hasPendingConnections())
                    m_connections.append(m_server.nextPendingConnection());
                return m_connections.size() > index;
            },
            timeoutMs));
        return m_connections.value(index);
    }
    int connectionCount() { return connection(0, 0) ? int(m_connections.size()) : 0; }

    // Everything connection `index` has received so far; it stays in the socket's buffer.
    QByteArray received(int index)
    {
        QCoreApplication::processEvents();
        QTcpSocket *socket = connection(index, 0);
        return socket != nullptr ? socket->peek(socket->bytesAvailable()) : QByteArray();
    }

    // Writes to connection `index` and waits until the client has read it (our send queue is
    // acknowledged and its receive queue is empty), so that each call hands the reader one chunk.
    bool deliver(int index, const QByteArray &bytes)
    {
        QTcpSocket *socket = connection(index);
        if (socket == nullptr || socket->write(bytes) != bytes.size() || !socket->waitForBytesWritten(5000))
            return false;
        const quint16 client = socket->peerPort();
        return QTest::qWaitFor([client] {
            bool clientSeen = false;
            for (const TcpSocketTable::Entry &entry : TcpSocketTable::read()) {
                if (entry.localPort == port && entry.remotePort == client && entry.txQueue != 0)
                    return false;
                if (entry.localPort == client && entry.remotePort == port) {
                    if (entry.rxQueue != 0)
                        return false;
                    clientSeen = true;
                }
            }
            return clientSeen;
        });
    }

private:
    QTcpServer m_server;
    QList<QTcpSocket *> m_connections;
};

} // namespace quellnet::test
