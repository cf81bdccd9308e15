#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QUrl>

namespace quellnet {

struct StackAccount
{
    QString email;
    QString password;
};

// What the end-to-end stack of this build tree set up, read back from the files that
// `scripts/lib/stack.sh up <build>/e2e` writes (the CTest fixture "e2e_stack" runs it). Tests that
// use it say FIXTURES_REQUIRED e2e_stack and RESOURCE_LOCK e2e-stack.
class E2eStack
{
public:
    // <build>/e2e
    static QString dir();

    // False (with the reason) when the stack's files are missing, i.e. the fixture did not run.
    static bool isUp(QString *why = nullptr);

    // From <dir>/accounts, in order. The first is the demo account; another one has a password with
    // blanks, a double quote and a backslash.
    static QList<StackAccount> accounts();
    static StackAccount demoAccount();
    // The account whose password needs quoting everywhere it travels.
    static StackAccount trickyAccount();

    static QString profilePath(); // the client profile the stand-in serves
    static QString caPath(); // the test CA of the server and the stand-in
    static QUrl accountServiceUrl(); // https://127.0.0.1:47443/api/

    // The listener inside the server's namespace that only the tunnel reaches, and its one line.
    static QHostAddress tunnelServer();
    static quint16 probePort();
    static QByteArray probeLine();
    // 10.204.0.0/24: the addresses the server hands to clients.
    static QPair<QHostAddress, int> tunnelNetwork();

    // One value from <dir>/stack.env (plain KEY=VALUE lines); empty when absent.
    static QString value(const QString &key);
};

} // namespace quellnet
