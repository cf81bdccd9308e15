#include "FakeHelper.h"

#include <QDeadlineTimer>

using namespace quellnet;

FakeHelper::FakeHelper(const QString &socketPath)
    : m_socketPath(socketPath.isEmpty() ? m_dir.filePath(QStringLiteral("helper.sock")) : socketPath)
{
    m_server.listen(m_socketPath);
}

QLocalSocket *FakeHelper::acceptClient(int timeoutMs)
{
    if (!m_server.hasPendingConnections() && !m_server.waitForNewConnection(timeoutMs))
        return nullptr;
    QLocalSocket *client = m_server.nextPendingConnection();
    client->setParent(nullptr);
    m_clients.emplace_back(client);
    return client;
}

std::optional<HelperRequest> FakeHelper::readRequest(QLocalSocket *client, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!client->canReadLine()) {
        if (deadline.hasExpired() || !client->waitForReadyRead(int(deadline.remainingTime())))
            return std::nullopt;
    }
    return HelperWire::decodeRequest(client->readLine()).message;
}

void FakeHelper::send(QLocalSocket *client, const QByteArray &bytes)
{
    client->write(bytes);
    client->flush();
}

void FakeHelper::reply(QLocalSocket *client, const HelperReply &reply)
{
    send(client, HelperWire::encode(reply));
}

bool FakeHelper::waitForClosed(QLocalSocket *client, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (client->state() == QLocalSocket::ConnectedState && !deadline.hasExpired()) {
        client->readAll();
        client->waitForReadyRead(50);
    }
    return client->state() != QLocalSocket::ConnectedState;
}
