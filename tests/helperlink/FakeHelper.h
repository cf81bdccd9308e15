#pragma once

#include "HelperWire.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <vector>

// A stand-in for the root helper daemon on a real Unix socket in a temporary directory. It runs on
// the test's thread with blocking calls, reads the client's lines with the real wire decoder and
// lets the test answer them (or misbehave) byte for byte.
class FakeHelper
{
public:
    // Serves `socketPath`, or a socket in a temporary directory of its own.
    explicit FakeHelper(const QString &socketPath = {});

    QString socketPath() const { return m_socketPath; }
    bool listening() const { return m_server.isListening(); }

    // The next client that connects, or nullptr after `timeoutMs`.
    QLocalSocket *acceptClient(int timeoutMs = 5000);
    // The next request line of `client`, or nothing after `timeoutMs` or when it cannot be read.
    std::optional<quellnet::HelperRequest> readRequest(QLocalSocket *client, int timeoutMs = 5000);
    void send(QLocalSocket *client, const QByteArray &bytes);
    void reply(QLocalSocket *client, const quellnet::HelperReply &reply);
    // True once `client` was closed by the other end within `timeoutMs`.
    bool waitForClosed(QLocalSocket *client, int timeoutMs = 5000);

private:
    QTemporaryDir m_dir;
    QString m_socketPath;
    QLocalServer m_server;
    std::vector<std::unique_ptr<QLocalSocket>> m_clients;
};
