#pragma once

#include "EngineTestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace quellnet::test {

// openvpn's management interface on 127.0.0.1:1337; keeps what each connection received.
class ManagementServer
{
public:
    bool listen() { return m_server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 1337); }

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

    // Everything connection `index` has received so far; it stays in the socket's buffer.
    QByteArray received(int index)
    {
        QCoreApplication::processEvents();
        QTcpSocket *socket = connection(index, 0);
        return socket != nullptr ? socket->peek(socket->bytesAvailable()) : QByteArray();
    }

    bool send(int index, const QByteArray &bytes)
    {
        QTcpSocket *socket = connection(index);
        return socket != nullptr && socket->write(bytes) == bytes.size() && socket->waitForBytesWritten(5000);
    }

private:
    QTcpServer m_server;
    QList<QTcpSocket *> m_connections;
};

} // namespace quellnet::test
