#pragma once

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <functional>
#include <vector>

namespace quellnet::test {

// openvpn's management interface on 127.0.0.1:1337: asks every new connection for the run's
// password, like openvpn started with one, and keeps what each connection received.
class ManagementServer
{
public:
    enum class Peer {
        ThisRun, // takes the latest run's password
        AnotherRun, // takes no password the program sends: it repeats the prompt
        NoPrompt, // serves without a password, as an openvpn of before
    };

    ManagementServer(std::function<QString()> password, Peer peer = Peer::ThisRun)
        : m_password(std::move(password)), m_peer(peer)
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] { acceptPending(); });
    }

    // What openvpn writes after its banner (a pending credential request, say), and the record it
    // answers "state" with.
    QByteArray afterBanner;
    QByteArray stateRecord = "1700000000,CONNECTED,SUCCESS,10.204.0.2,10.203.0.2,1194,,,";

    bool listen() { return m_server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 1337); }

    QTcpSocket *connection(int index, int timeoutMs = 10000)
    {
        static_cast<void>(QTest::qWaitFor([&] { return int(m_connections.size()) > index; }, timeoutMs));
        return index < int(m_connections.size()) ? m_connections[std::size_t(index)].socket : nullptr;
    }
    int connectionCount() const { return int(m_connections.size()); }

    // What came after the password was taken.
    QByteArray received(int index)
    {
        QCoreApplication::processEvents();
        return index < int(m_connections.size()) ? m_connections[std::size_t(index)].received : QByteArray();
    }
    // The lines sent in answer to the prompt.
    QList<QByteArray> answers(int index) const
    {
        return index < int(m_connections.size()) ? m_connections[std::size_t(index)].answers : QList<QByteArray>();
    }

private:
    struct Connection
    {
        QTcpSocket *socket = nullptr;
        bool passwordTaken = false;
        QByteArray pending;
        QList<QByteArray> answers;
        QByteArray received;
        bool stateAnswered = false;
    };

    void acceptPending()
    {
        while (m_server.hasPendingConnections()) {
            QTcpSocket *socket = m_server.nextPendingConnection();
            const std::size_t index = m_connections.size();
            m_connections.push_back({ socket, m_peer == Peer::NoPrompt, {}, {}, {}, false });
            socket->write(m_peer == Peer::NoPrompt ? banner : "ENTER PASSWORD:");
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, index] { onReadyRead(index); });
        }
    }

    void onReadyRead(std::size_t index)
    {
        Connection &connection = m_connections[index];
        const QByteArray bytes = connection.socket->readAll();
        if (connection.passwordTaken) {
            connection.received += bytes;
            answerStateQuery(connection);
            return;
        }
        connection.pending += bytes;
        for (qsizetype end = connection.pending.indexOf('\n'); end >= 0 && !connection.passwordTaken;
             end = connection.pending.indexOf('\n')) {
            const QByteArray line = connection.pending.left(end);
            connection.pending.remove(0, end + 1);
            connection.answers.append(line);
            connection.passwordTaken = m_peer == Peer::ThisRun && line == m_password().toLatin1();
            connection.socket->write(connection.passwordTaken
                    ? "SUCCESS: password is correct\r\n" + banner + afterBanner
                    : QByteArray("ENTER PASSWORD:"));
        }
        if (connection.passwordTaken) {
            connection.received += connection.pending;
            connection.pending.clear();
            answerStateQuery(connection);
        }
    }

    void answerStateQuery(Connection &connection)
    {
        if (!connection.stateAnswered && connection.received.split('\n').contains("state")) {
            connection.stateAnswered = true;
            connection.socket->write(stateRecord + "\r\nEND\r\n");
        }
    }

    inline static const QByteArray banner
        = ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n";
    std::function<QString()> m_password;
    const Peer m_peer;
    QTcpServer m_server;
    std::vector<Connection> m_connections;
};

} // namespace quellnet::test
