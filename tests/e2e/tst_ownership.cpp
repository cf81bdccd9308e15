// The tunnel belongs to the user who started it. The program runs as a process of its own (the way a
// person starts, quits and starts it again), as the stack's users A and B, against the real helper
// daemon and openvpn: a relaunch takes over the tunnel an earlier launch left up, a sign-in replaces
// it, B's own tunnel to a server of B's never sees A's credentials, B can neither end nor replace A's
// tunnel, and a user the helper does not serve gets nowhere at the management port.
#include "tests/e2e/E2eHarness.h"
#include "tests/e2e/RemoteProgram.h"
#include "tests/helper/HelperTestSupport.h"
#include "tests/support/TestTools.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

// What a "titles" event says when the button and the tray item agree.
QString bothTitles(const QString &title)
{
    return title + u'|' + title;
}
const QString trennen = bothTitles(u"Trennen"_s);
const QString verbinden = bothTitles(u"Verbinden"_s);

// The management interface of a run, used as its owner would: the run's password, then, once openvpn
// asks for them, the credentials. Returns what openvpn wrote once it took the password, up to a line
// that contains `until`.
QByteArray signInAtManagement(const QString &secret, const QByteArray &credentials, const QByteArray &until)
{
    QTcpSocket socket;
    const QDeadlineTimer deadline(30000);
    // openvpn opens the port a moment after it started.
    while (socket.state() != QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket.abort();
        socket.connectToHost(u"127.0.0.1"_s, 1337);
        if (!socket.waitForConnected(3000))
            QTest::qWait(50);
    }
    QByteArray received;
    const auto readUntil = [&](const QByteArray &what) {
        while (!received.contains(what) && socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            received += socket.readAll();
        return received.contains(what);
    };
    if (!readUntil("ENTER PASSWORD:"))
        return {};
    socket.write(secret.toLatin1() + "\nstate on\n");
    received.clear();
    if (readUntil(">PASSWORD:Need 'Auth'")) {
        socket.write(credentials);
        readUntil(until);
    }
    socket.disconnectFromHost();
    return received;
}

// A local user's client of the management port, as that user runs it: sends `input`, and returns all
// it got back within a few seconds.
QByteArray knockAsUser(uid_t uid, const QByteArray &input)
{
    QProcess client;
    client.start(u"setpriv"_s,
        { u"--reuid=%1"_s.arg(uid), u"--regid=%1"_s.arg(uid), u"--clear-groups"_s, u"socat"_s, u"-t"_s, u"3"_s, u"-"_s,
            u"TCP4:127.0.0.1:1337"_s });
    if (!client.waitForStarted(5000))
        return "(not started)";
    client.write(input);
    client.closeWriteChannel();
    client.waitForFinished(15000);
    return client.readAllStandardOutput();
}

} // namespace

#define CHECK(c, program) QVERIFY2(c, qPrintable((program).logLines().join(u'\n')))

class TestOwnership : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QString m_stage;
    uid_t m_a = 0;
    uid_t m_b = 0;
    const StackAccount m_account = E2eStack::demoAccount();

    QString home(const QString &name) const { return m_root.filePath(u"home-"_s + name); }
    // The program as A, with the demo account remembered (as after a sign-in with "Angemeldet bleiben").
    std::unique_ptr<RemoteProgram> programOfA(bool clickAtLaunch = false)
    {
        auto program = std::make_unique<RemoteProgram>(m_stage, home(u"a"_s), m_a);
        if (clickAtLaunch)
            program->setEnvironmentValue(u"QUELLNET_E2E_CLICK_AT_LAUNCH"_s, u"1"_s);
        QString error;
        if (!program->launch(&error) || !program->waitFor(u"shown"_s)) {
            qWarning("%s", qPrintable(error + program->logLines().join(u'\n')));
            return nullptr;
        }
        return program;
    }
    // A's tunnel, up, and the program that brought it up.
    std::unique_ptr<RemoteProgram> connectedProgramOfA()
    {
        std::unique_ptr<RemoteProgram> program = programOfA();
        if (!program)
            return nullptr;
        const int from = int(program->events().size());
        program->command("click");
        if (!program->waitFor(u"state"_s, u"CONNECTED"_s, 30000, from)
            || E2eStack::probeThroughTunnel(5000) != E2eStack::probeLine()) {
            qWarning("A's tunnel did not come up: %s", qPrintable(program->logLines().join(u'\n')));
            return nullptr;
        }
        return program;
    }
    static int helperLogCount(const QString &line) { return int(E2eStack::helperLog().count(line.toUtf8())); }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: other users, tunnels and the helper daemon");
        QString error;
        QVERIFY2(stackIsReady(&error), qPrintable(error));
        m_a = E2eStack::value(u"STACK_TEST_USER_A_UID"_s).toUInt();
        m_b = E2eStack::value(u"STACK_TEST_USER_B_UID"_s).toUInt();
        QVERIFY2(m_a != 0 && m_b != 0, "the stack has no test users (stack.sh up --client-netns makes them)");
        QVERIFY(m_root.isValid()
            && QFile::setPermissions(m_root.path(),
                QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther));
        m_stage = m_root.filePath(u"stage"_s);
        QVERIFY2(RemoteProgram::stage(m_stage, &error), qPrintable(error));
        QVERIFY2(
            RemoteProgram::makeHome(home(u"a"_s), m_a, m_account.email, m_account.password, &error), qPrintable(error));
        QVERIFY2(RemoteProgram::makeHome(home(u"b"_s), m_b, {}, {}, &error), qPrintable(error));
        QVERIFY2(nothingLeftAfter(0, &error), qPrintable(error));
    }

    // Whatever a test left running ends as root may end it.
    void cleanup()
    {
        QString left;
        if (!nothingLeftAfter(0)) {
            Client root(E2eStack::value(u"STACK_HELPER_SOCKET"_s));
            root.send(HelperRequest { 1, HelperRequest::Operation::KillOpenVPN, {}, {}, {}, {} });
            for (qint64 pid : E2eStack::helperOpenVpnPids())
                ::kill(pid_t(pid), SIGCONT);
        }
        QVERIFY2(nothingLeftAfter(20000, &left), qPrintable(left));
    }

    // Quit while connected, start again: the window shows the tunnel within a second of appearing,
    // without a new run request or credentials, and "Trennen" ends it at once, also when nothing is
    // remembered to fill the form with.
    void relaunchTakesOverTheTunnel_data()
    {
        addRows<bool>("remembered", { { "credentials remembered", true }, { "nothing remembered", false } });
    }
    void relaunchTakesOverTheTunnel()
    {
        QFETCH(bool, remembered);
        std::unique_ptr<RemoteProgram> first = connectedProgramOfA();
        QVERIFY(first);
        const QList<qint64> openvpn = E2eStack::helperOpenVpnPids();
        QCOMPARE(openvpn.size(), 1);
        CHECK(first->quit(), *first);
        QCOMPARE(E2eStack::probeThroughTunnel(5000), E2eStack::probeLine());
        const QString settings = home(u"a"_s) + u"/config/quellnet/quellnet.conf"_s;
        const auto putBack = qScopeGuard([&] {
            if (!remembered && QFile::exists(settings + u".aside"_s)) {
                QFile::remove(settings);
                QFile::rename(settings + u".aside"_s, settings);
            }
        });
        if (!remembered)
            QVERIFY(QFile::rename(settings, settings + u".aside"_s));

        const int runRequests = helperRunRequests();
        std::unique_ptr<RemoteProgram> second = programOfA();
        QVERIFY(second);
        const std::optional<RemoteProgram::Event> shown = second->waitFor(u"shown"_s);
        const std::optional<RemoteProgram::Event> shownAsConnected = second->waitFor(u"titles"_s, trennen, 5000);
        CHECK(shown && shownAsConnected, *second);
        QVERIFY2(shownAsConnected->ms - shown->ms < 1000,
            qPrintable(u"\"Trennen\" came %1 ms after the window appeared"_s.arg(shownAsConnected->ms - shown->ms)));
        CHECK(second->waitFor(u"state"_s, u"CONNECTED"_s, 5000), *second);
        QCOMPARE(helperRunRequests(), runRequests);
        QCOMPARE(E2eStack::helperOpenVpnPids(), openvpn);
        QVERIFY(!second->standardOutput().contains("username"));
        QVERIFY(!second->standardOutput().contains("password"));

        const int from = int(second->events().size());
        second->command("click");
        CHECK(second->waitFor(u"state"_s, u"NOPROCESS"_s, 20000, from), *second);
        for (const RemoteProgram::Event &event : second->events())
            QVERIFY2(event.kind != u"sheet", qPrintable(event.detail));
        QString left;
        QVERIFY2(nothingLeftAfter(15000, &left), qPrintable(left));
        CHECK(second->waitFor(u"titles"_s, verbinden, 5000, from), *second);
        CHECK(second->quit(), *second);
    }

    // Quit while connected, start again and sign in before the takeover, or with the earlier openvpn
    // stuck (stopped, so that it ignores the helper's SIGTERM until its SIGKILL): the start ends the
    // earlier openvpn and reaches its own; one tunnel ends up connected, none waits for credentials.
    void relaunchAndSignInEndsWithOneTunnel_data()
    {
        addRows<bool>("stuck", { { "sign-in before the takeover", false }, { "earlier openvpn stuck", true } });
    }
    void relaunchAndSignInEndsWithOneTunnel()
    {
        QFETCH(bool, stuck);
        std::unique_ptr<RemoteProgram> first = connectedProgramOfA();
        QVERIFY(first);
        const qint64 earlier = E2eStack::helperOpenVpnPids().value(0);
        CHECK(first->quit(), *first);
        if (stuck)
            QCOMPARE(::kill(pid_t(earlier), SIGSTOP), 0);
        const QString ended = u"uid %1 "_s.arg(m_a);
        const int endRequests = int(E2eStack::helperLog().count("asks to end its openvpn"));

        std::unique_ptr<RemoteProgram> second = programOfA(true);
        QVERIFY(second);
        CHECK(second->waitFor(u"state"_s, u"CONNECTED"_s, 40000), *second);
        CHECK(second->waitFor(u"titles"_s, trennen, 5000), *second);
        const QList<qint64> openvpn = E2eStack::helperOpenVpnPids();
        QCOMPARE(openvpn.size(), 1);
        QVERIFY(openvpn.first() != earlier && !ProcFs::isRunning(earlier));
        QCOMPARE(E2eStack::probeThroughTunnel(5000), E2eStack::probeLine());
        QCOMPARE(int(E2eStack::helperLog().count("asks to end its openvpn")), endRequests + 1);
        QVERIFY(E2eStack::helperLog().contains(ended.toUtf8()));
        // The credentials went once, to the new openvpn, which took them.
        QVERIFY2(second->standardOutput().count("\nusername 'Auth' ") == 1, second->standardOutput().constData());
        QVERIFY(!second->standardOutput().contains("ERROR"));

        const int from = int(second->events().size());
        second->command("click");
        CHECK(second->waitFor(u"state"_s, u"NOPROCESS"_s, 20000, from), *second);
        CHECK(second->quit(), *second);
    }

    // B's own openvpn to B's own server runs when A signs in: A's run is refused, and A's credentials
    // go nowhere. While A is connected, B can neither end nor replace A's tunnel, and is told why.
    void anotherUsersTunnel()
    {
        // B's profile, B's file, and B's run of it with a password of B's.
        const QString profile = home(u"b"_s) + u"/second.ovpn"_s;
        QVERIFY(QFile::copy(E2eStack::value(u"STACK_SECOND_PROFILE"_s), profile));
        QVERIFY(::chown(QFile::encodeName(profile).constData(), m_b, Identity::of(m_b).gid) == 0);
        QVERIFY(QFile::setPermissions(profile, QFile::ReadOwner | QFile::WriteOwner));
        const QString secretOfB = u"b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0"_s;
        Client b(E2eStack::value(u"STACK_HELPER_SOCKET"_s), m_b, Client::Access::AsTheUser);
        const QString scripts = E2eStack::value(u"STACK_HELPER_SCRIPTS"_s);
        QVERIFY(b.send(HelperRequest { 1, HelperRequest::Operation::RunOpenVPN, profile, scripts + u"/client.up"_s,
            scripts + u"/client.down"_s, secretOfB }));
        QVERIFY(waitUntil([] { return E2eStack::helperOpenVpnPids().size() == 1; }, 10000));
        const qint64 openvpnOfB = E2eStack::helperOpenVpnPids().first();
        const QString second = E2eStack::value(u"STACK_SECOND_EMAIL"_s);
        const QString secondPassword = E2eStack::value(u"STACK_SECOND_PASSWORD"_s);
        const QByteArray reports = signInAtManagement(secretOfB,
            "username 'Auth' " + second.toUtf8() + "\npassword 'Auth' " + secondPassword.toUtf8() + "\n",
            ",CONNECTED,");
        QVERIFY2(reports.contains(",CONNECTED,"), reports.constData());

        // A signs in: refused at once, told why, and nothing of A's reaches B's server or openvpn.
        std::unique_ptr<RemoteProgram> a = programOfA();
        QVERIFY(a);
        const int from = int(a->events().size());
        a->command("click");
        CHECK(a->waitFor(u"titles"_s, bothTitles(u"Wird verbunden..."_s), 15000, from), *a);
        const std::optional<RemoteProgram::Event> refused = a->waitFor(u"state"_s, u"NOPROCESS"_s, 15000, from);
        CHECK(refused, *a);
        CHECK(a->logLines().contains(u"quellnet[%1]: OpenVPN exited: termiationStatus=69"_s.arg(a->processId())), *a);
        CHECK(a->waitFor(u"titles"_s, verbinden, 5000, from), *a);
        QVERIFY(a->standardOutput().contains("error while starting mgmt interface"));
        QVERIFY(!a->standardOutput().contains("username"));
        QVERIFY(QString::fromUtf8(E2eStack::helperLog())
                    .contains(QRegularExpression(
                        u"refused run request \\d+ of uid %1 .*the openvpn of uid %2 runs"_s.arg(m_a).arg(m_b))));
        QCOMPARE(E2eStack::helperOpenVpnPids(), QList<qint64> { openvpnOfB });
        const QByteArray received = readFile(E2eStack::value(u"STACK_SECOND_VERIFY_LOG"_s));
        QVERIFY2(!received.contains(m_account.email.toUtf8()) && !received.contains(m_account.password.toUtf8()),
            received.constData());
        QCOMPARE(received, second.toUtf8() + '\t' + secondPassword.toUtf8() + '\n');
        a->command("close-sheets");

        // B ends B's own run; A connects.
        QVERIFY(b.send(HelperRequest { 2, HelperRequest::Operation::KillOpenVPN, {}, {}, {}, {} }));
        const HelperReply endOfB = b.reply(15000);
        QCOMPARE(endOfB.kind, HelperReply::Kind::TerminationStatus);
        QVERIFY(waitUntil([] { return E2eStack::helperOpenVpnPids().isEmpty(); }, 15000));
        int next = int(a->events().size());
        a->command("click");
        CHECK(a->waitFor(u"state"_s, u"CONNECTED"_s, 30000, next), *a);
        const QList<qint64> openvpnOfA = E2eStack::helperOpenVpnPids();
        QCOMPARE(openvpnOfA.size(), 1);

        // B tries to end it, then to replace it: both refused, B's run with the status that says why.
        next = int(a->events().size());
        const int killRefusals = helperLogCount(u"refused the kill request of uid %1"_s.arg(m_b));
        QVERIFY(b.send(HelperRequest { 3, HelperRequest::Operation::KillOpenVPN, {}, {}, {}, {} }));
        QVERIFY(waitUntil(
            [&] { return helperLogCount(u"refused the kill request of uid %1"_s.arg(m_b)) == killRefusals + 1; },
            5000));
        QVERIFY(b.send(HelperRequest { 4, HelperRequest::Operation::RunOpenVPN, profile, scripts + u"/client.up"_s,
            scripts + u"/client.down"_s, secretOfB }));
        QCOMPARE(b.reply(10000), terminated(4, 69));
        QTest::qWait(1000);
        QCOMPARE(E2eStack::helperOpenVpnPids(), openvpnOfA);
        QCOMPARE(E2eStack::probeThroughTunnel(5000), E2eStack::probeLine());
        const QList<RemoteProgram::Event> events = a->events();
        // A late echo of the connect's own CONNECTED may still come; nothing else may.
        for (qsizetype i = next; i < events.size(); ++i)
            QVERIFY2(events[i].kind != u"state"_s || events[i].detail == u"CONNECTED"_s, qPrintable(events[i].detail));

        next = int(a->events().size());
        a->command("click");
        CHECK(a->waitFor(u"state"_s, u"NOPROCESS"_s, 20000, next), *a);
        CHECK(a->quit(), *a);
    }

    // Whatever anyone put at /tmp/quellnet.ovpn, the path every user's configuration file used to
    // share, stays as it is and no longer stands in the way. The program gets a /tmp of its own for
    // this, so that nobody else on the machine meets what is planted there.
    void sharedTmpPathIsNotUsed_data()
    {
        addRows<Planted>("planted",
            { { "file of another user", Planted::File }, { "symlink", Planted::Symlink }, { "folder", Planted::Folder },
                { "FIFO", Planted::Fifo } });
    }
    void sharedTmpPathIsNotUsed()
    {
        QFETCH(Planted, planted);
        RemoteProgram a(m_stage, home(u"a"_s), m_a);
        a.usePrivateTmp({ m_root.path() });
        QString error;
        QVERIFY2(a.launch(&error), qPrintable(error));
        CHECK(a.waitFor(u"shown"_s), a);
        const QString shared = a.tmpPath(u"quellnet.ovpn"_s);
        QVERIFY(plant(planted, shared, "remote planted.example 1194\n"));
        const QString before = describePlanted(shared);
        QVERIFY(describePlanted(u"/tmp/quellnet.ovpn"_s) != before); // in the program's /tmp only
        a.command("click");
        CHECK(a.waitFor(u"state"_s, u"CONNECTED"_s, 30000), a);
        QCOMPARE(E2eStack::probeThroughTunnel(5000), E2eStack::probeLine());
        QCOMPARE(describePlanted(shared), before);
        const int from = int(a.events().size());
        a.command("click");
        CHECK(a.waitFor(u"state"_s, u"NOPROCESS"_s, 20000, from), a);
        for (const RemoteProgram::Event &event : a.events())
            QVERIFY2(event.kind != u"sheet"_s, qPrintable(event.detail));
        QCOMPARE(describePlanted(shared), before);
        unplant(shared);
        CHECK(a.quit(), a);
    }

    // A user the helper does not serve connects to the management port while the tunnel runs and
    // after the program quit: openvpn never gets past its password prompt, executes nothing, and the
    // tunnel stays up. A relaunch then takes it over as usual.
    void userWithoutAccessAtTheManagementPort()
    {
        std::unique_ptr<RemoteProgram> a = connectedProgramOfA();
        QVERIFY(a);
        const QList<qint64> openvpn = E2eStack::helperOpenVpnPids();
        const QByteArray commands = "signal SIGTERM\nlog all\nstate\nhold release\n";
        for (const bool quit : { false, true }) {
            if (quit)
                CHECK(a->quit(), *a);
            const int from = int(a->events().size());
            const QByteArray answer = knockAsUser(nobody, commands);
            QVERIFY2(
                !answer.contains("SUCCESS") && !answer.contains(">") && !answer.contains("END"), answer.constData());
            QTest::qWait(1000);
            QCOMPARE(E2eStack::helperOpenVpnPids(), openvpn);
            QCOMPARE(E2eStack::probeThroughTunnel(5000), E2eStack::probeLine());
            // A late echo of the connect's own CONNECTED may still come; nothing else may.
            for (const RemoteProgram::Event &event : quit ? QList<RemoteProgram::Event>() : a->events().mid(from))
                QVERIFY2(event.kind == u"state"_s && event.detail == u"CONNECTED"_s,
                    qPrintable(event.kind + u' ' + event.detail));
        }
        a = programOfA();
        QVERIFY(a);
        CHECK(a->waitFor(u"titles"_s, trennen, 5000), *a);
        const int from = int(a->events().size());
        a->command("tray-click");
        CHECK(a->waitFor(u"state"_s, u"NOPROCESS"_s, 20000, from), *a);
        CHECK(a->quit(), *a);
    }
};

QTEST_GUILESS_MAIN(TestOwnership)
#include "tst_ownership.moc"
