#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace quellnet {

// One running program per user. The first launch serves a local socket in the user's private
// runtime directory (0700, so no other user can take the name or connect); a later launch finds
// it, asks the running program to bring its window to the front, and ends. A socket left behind
// by a crashed program is replaced. A lock file serialises launches that start at the same time.
//
// GUI thread only. Whatever arrives on the socket is checked: only the one known request, on one
// short line, is answered; anything else is dropped.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    enum class Role {
        Primary, // this launch runs the program (and serves the socket, when it could)
        HandedOver, // the running program has taken the request: end this launch
        Unresponsive // a program is running but did not answer
    };

    // `socketPath` empty: defaultSocketPath().
    explicit SingleInstance(QString socketPath = {}, QObject *parent = nullptr);
    ~SingleInstance() override;

    // "<runtime dir>/quellnet.socket", or empty when the user has no private runtime directory.
    static QString defaultSocketPath();

    Role claim();
    bool isServing() const;
    QString socketPath() const { return m_socketPath; }

Q_SIGNALS:
    // A later launch asked for the window.
    void activationRequested();

private:
    enum class HandOver { Taken, NoAnswer, NoServer };
    HandOver handOver() const;
    bool listen();
    void serve(QLocalSocket *socket);

    QString m_socketPath;
    QLocalServer *m_server = nullptr;
};

} // namespace quellnet
