#pragma once

#include "helperlink/HelperWire.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>

#include <optional>

namespace quellnet::test {

inline HelperReply versionReply(std::uint64_t id, const QString &version = QStringLiteral(QUELLNET_VERSION))
{
    return { id, HelperReply::Kind::Version, version, 0, {} };
}
inline HelperReply runReply(std::uint64_t id, std::optional<HelperRun> run)
{
    return { id, HelperReply::Kind::Run, {}, 0, std::move(run) };
}

// The root helper's stand-in on a real Unix socket, for tests of the client's side of it: the test
// accepts the client, reads its requests and answers by hand, in the real wire format.
class HelperSocketStandIn
{
public:
    // `socketPath` empty: one in a temporary folder of its own.
    explicit HelperSocketStandIn(const QString &socketPath = {})
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
    static std::optional<HelperRequest> readRequest(QLocalSocket *client, int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!client->canReadLine() && client->waitForReadyRead(int(deadline.remainingTime()))) { }
        return client->canReadLine() ? HelperWire::decodeRequest(client->readLine()).message : std::nullopt;
    }
    static bool send(QLocalSocket *client, const QByteArray &bytes)
    {
        return client->write(bytes) == bytes.size() && client->flush();
    }
    // Reads the client's next request and, when it is an `operation`, answers it with `reply` under
    // the request's id. False for another request or none.
    static bool answer(QLocalSocket *client, HelperRequest::Operation operation, HelperReply reply)
    {
        const std::optional<HelperRequest> request = client ? readRequest(client) : std::nullopt;
        reply.id = request ? request->id : 0;
        return request && request->operation == operation && send(client, HelperWire::encode(reply));
    }

private:
    QTemporaryDir m_dir;
    QLocalServer m_server;
};

} // namespace quellnet::test
