#include "app/SingleInstance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTimer>

#include <unistd.h>

namespace quellnet {

Q_LOGGING_CATEGORY(lcInstance, "quellnet.app.instance", QtInfoMsg)

namespace {

const QByteArray kRequest = QByteArrayLiteral("activate\n");
const QByteArray kAnswer = QByteArrayLiteral("ok\n");
constexpr qsizetype kMaxRequest = 64;
constexpr int kConnectTimeoutMs = 1000;
constexpr int kAnswerTimeoutMs = 3000;
constexpr int kIdleClientMs = 5000;

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject *parent)
    : QObject(parent), m_socketPath(socketPath.isEmpty() ? defaultSocketPath() : std::move(socketPath))
{ }

SingleInstance::~SingleInstance()
{
    if (m_server != nullptr)
        m_server->close();
}

QString SingleInstance::defaultSocketPath()
{
    // Qt hands out a runtime directory only when it belongs to the user and is private (0700);
    // checked again here, since another user must never be able to take the name or connect.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty())
        return {};
    const QFileInfo folder(runtime);
    const auto othersMayEnter = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
        | QFile::WriteOther | QFile::ExeOther;
    if (!folder.isDir() || folder.ownerId() != ::geteuid() || (folder.permissions() & othersMayEnter) != 0) {
        qCWarning(lcInstance) << "runtime directory" << runtime << "is not private to this user";
        return {};
    }
    return runtime + QStringLiteral("/quellnet.socket");
}

bool SingleInstance::isServing() const
{
    return m_server != nullptr && m_server->isListening();
}

SingleInstance::Role SingleInstance::claim()
{
    if (m_socketPath.isEmpty()) {
        qCWarning(lcInstance) << "no private runtime directory: running without the single-instance check";
        return Role::Primary;
    }

    QLockFile lock(m_socketPath + QStringLiteral(".lock"));
    lock.setStaleLockTime(10000);
    if (!lock.tryLock(5000))
        qCWarning(lcInstance) << "could not take" << lock.error() << "; going on without it";

    switch (handOver()) {
    case HandOver::Taken:
        return Role::HandedOver;
    case HandOver::NoAnswer:
        return Role::Unresponsive;
    case HandOver::NoServer:
        break;
    }
    if (!listen())
        qCWarning(lcInstance) << "cannot serve" << m_socketPath << "; a later launch will start a second program";
    return Role::Primary;
}

SingleInstance::HandOver SingleInstance::handOver() const
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(kConnectTimeoutMs))
        return HandOver::NoServer;

    socket.write(kRequest);
    if (!socket.waitForBytesWritten(kAnswerTimeoutMs))
        return HandOver::NoAnswer;
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() <= kMaxRequest) {
        if (!socket.waitForReadyRead(kAnswerTimeoutMs))
            break;
        answer += socket.readAll();
    }
    return answer == kAnswer ? HandOver::Taken : HandOver::NoAnswer;
}

bool SingleInstance::listen()
{
    // Nobody answered on the socket (checked under the lock), so a file there is left over.
    QLocalServer::removeServer(m_socketPath);
    auto *server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(m_socketPath)) {
        qCWarning(lcInstance) << "listen failed:" << server->errorString();
        delete server;
        return false;
    }
    m_server = server;
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection())
            serve(socket);
    });
    return true;
}

void SingleInstance::serve(QLocalSocket *socket)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // A client that never finishes its request is dropped.
    QTimer::singleShot(kIdleClientMs, socket, [socket] { socket->abort(); });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        const QByteArray received = socket->peek(kMaxRequest + 1);
        if (!received.contains('\n')) {
            if (received.size() > kMaxRequest)
                socket->abort();
            return;
        }
        const bool known = received == kRequest;
        socket->readAll();
        if (!known) {
            qCDebug(lcInstance) << "dropped an unknown request";
            socket->abort();
            return;
        }
        socket->write(kAnswer);
        socket->flush();
        socket->disconnectFromServer();
        qCDebug(lcInstance) << "a later launch asked for the window";
        Q_EMIT activationRequested();
    });
}

} // namespace quellnet
