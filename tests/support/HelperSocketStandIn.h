#pragma once

#include "helperlink/HelperWire.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>

#include <optional>

// The root helper's stand-in on a real Unix socket: the test reads requests and answers by hand.
class FakeHelper
{
public:
    explicit FakeHelper(const QString &socketPath = {})
    {
        m_server.listen(socketPath.isEmpty() ? m_dir.filePath(QStringLiteral("helper.sock")) : socketPath);
    }
    QString socketPath() const { return m_server.fullServerName(); }
    QLocalSocket *acceptClient(int timeoutMs = 5000)
    {
        return m_server.hasPendingConnections() || m_server.waitForNewConnection(timeoutMs)
            ? m_server.nextPendingConnection()
            : nullptr;
    }
    static std::optional<quellnet::HelperRequest> readRequest(QLocalSocket *client, int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!client->canReadLine() && client->waitForReadyRead(int(deadline.remainingTime()))) { }
        return client->canReadLine() ? quellnet::HelperWire::decodeRequest(client->readLine()).message : std::nullopt;
    }
    static bool send(QLocalSocket *c, const QByteArray &bytes) { return c->write(bytes) == bytes.size() && c->flush(); }

private:
    QTemporaryDir m_dir;
    QLocalServer m_server;
};
