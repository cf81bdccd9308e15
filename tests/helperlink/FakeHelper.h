#pragma once

#include "HelperWire.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>

#include <optional>

// A stand-in for the root helper daemon on a real Unix socket in a temporary directory. It runs on
// the test's thread with blocking calls, reads the client's lines with the real wire decoder and
// lets the test answer them (or misbehave) byte for byte. It owns the clients it accepted.
class FakeHelper
{
public:
    // Serves `socketPath`, or a socket in a temporary directory of its own.
    explicit FakeHelper(const QString &socketPath = {})
    {
        m_server.listen(socketPath.isEmpty() ? m_dir.filePath(QStringLiteral("helper.sock")) : socketPath);
    }

    QString socketPath() const { return m_server.fullServerName(); }

    // The next client that connects, or nullptr after `timeoutMs`.
    QLocalSocket *acceptClient(int timeoutMs = 5000)
    {
        return m_server.hasPendingConnections() || m_server.waitForNewConnection(timeoutMs)
            ? m_server.nextPendingConnection()
            : nullptr;
    }

    // The next request line of `client`, or nothing after `timeoutMs` or when it cannot be read.
    static std::optional<quellnet::HelperRequest> readRequest(QLocalSocket *client, int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!client->canReadLine() && client->waitForReadyRead(int(deadline.remainingTime()))) { }
        return client->canReadLine() ? quellnet::HelperWire::decodeRequest(client->readLine()).message : std::nullopt;
    }

    static bool send(QLocalSocket *c, const QByteArray &bytes) { return c->write(bytes) == bytes.size() && c->flush(); }
    static bool reply(QLocalSocket *c, const quellnet::HelperReply &r)
    {
        return send(c, quellnet::HelperWire::encode(r));
    }

private:
    QTemporaryDir m_dir;
    QLocalServer m_server;
};
