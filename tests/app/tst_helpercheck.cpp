// The helper check at launch and the installation it leads to, through the real delegate and
// window. Installations run the real install step as root into a temporary root. The helper that
// is there before stands in on a temporary socket.

#include "../helperlink/FakeHelper.h"
#include "../ui/GuiTesting.h"
#include "AppDelegate.h"
#include "LocalHelperConnection.h"
#include "MainViewController.h"
#include "PkexecPrivilegeStep.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <mutex>

using namespace quellnet;
using namespace quellnet::testing;
using namespace Qt::StringLiterals;

namespace {

const QString shippedVersion = QStringLiteral(QUELLNET_VERSION);
const QString bundleLine = u"Helper: Bundle Version => "_s + shippedVersion;
const QString installedLine = QStringLiteral(QUELLNET_HELPER_ID " installed successfully");

} // namespace

class TestHelperCheck : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::atomic<int> m_connectionsMade = 0;
    std::unique_ptr<AppDelegate> m_delegate;
    std::mutex m_mutex;
    QStringList m_log; // the system log's lines, from any thread

    QString socketPath() const { return m_dir->filePath(u"helper.sock"_s); }
    QString installRoot() const { return m_dir->filePath(u"root"_s); }

    // pkexec, as a script that notes each authorisation asked for and runs `shell` with the install
    // step as "$@" ("exit 126" is a dismissed prompt).
    std::unique_ptr<PrivilegeStep> pkexecRunning(const QString &shell) const
    {
        QFile pkexec(m_dir->filePath(u"pkexec"_s));
        if (pkexec.open(QIODevice::WriteOnly))
            pkexec.write(u"#!/bin/sh\necho >>%1/prompts\n%2\n"_s.arg(m_dir->path(), shell).toUtf8());
        pkexec.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return std::make_unique<PkexecPrivilegeStep>(pkexec.fileName());
    }
    // The real install step as the root the tests run as, below `root`, for the user 4242.
    static QString installInto(const QString &root) { return u"PKEXEC_UID=4242 exec \"$@\" --root '%1'"_s.arg(root); }
    int prompts() const { return int(QFileInfo(m_dir->filePath(u"prompts"_s)).size()); }

    // Launches as the program does; without `step`, an installation runs the real install step
    // into installRoot().
    void launch(std::unique_ptr<PrivilegeStep> step = {})
    {
        if (!step)
            step = pkexecRunning(installInto(installRoot()));
        m_delegate = std::make_unique<AppDelegate>(
            [this] {
                ++m_connectionsMade;
                return std::make_shared<LocalHelperConnection>(socketPath());
            },
            std::move(step));
        m_delegate->applicationDidFinishLaunching();
    }

    QStringList takeLog()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_log, {});
    }
    // The log's lines until `line` arrives (or the time-out).
    QStringList logUntil(const QString &line, int timeoutMs = 5000)
    {
        QStringList lines;
        static_cast<void>(QTest::qWaitFor([&] { return (lines += takeLog()).contains(line); }, timeoutMs));
        return lines;
    }

private Q_SLOTS:
    void initTestCase()
    {
        setUpGuiTest(m_config);
        if (::geteuid() != 0)
            QSKIP("installs as root");
        SystemLog::setSinkForTesting([this](const QString &line) {
            std::lock_guard lock(m_mutex);
            m_log << line;
        });
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid() && QDir().mkdir(installRoot()));
        m_connectionsMade = 0;
        takeLog();
    }

    void cleanup()
    {
        m_delegate.reset();
        AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
    }

    void cleanupTestCase() { SystemLog::setSinkForTesting({}); }

    // The launch does not wait for the helper's answer: the form is in use meanwhile. The same
    // version keeps the helper, and the VPN service later gets the connection the check opened.
    void currentHelperIsKept()
    {
        FakeHelper installed(socketPath());
        launch();
        QLocalSocket *client = installed.acceptClient();
        const std::optional<HelperRequest> request = client ? installed.readRequest(client) : std::nullopt;
        QVERIFY(request && request->operation == HelperRequest::Operation::GetVersion);
        MainViewController *view = m_delegate->mainViewController();
        QVERIFY(QTest::qWaitForWindowActive(m_delegate->window()));
        QTest::keyClicks(view->emailEdit(), u"anna@example.ch"_s);
        QTest::mouseClick(view->rememberCheck(), Qt::LeftButton);
        QVERIFY(view->emailEdit()->text() == u"anna@example.ch"_s && view->rememberCheck()->isChecked());
        QCOMPARE(takeLog(), QStringList { bundleLine });

        const HelperConnectionPtr checked = m_delegate->xpcHelperConnection();
        installed.reply(client, { request->id, HelperReply::Kind::Version, shippedVersion, 0 });
        const QString answer = u"Helper: Installed Version => "_s + shippedVersion;
        QCOMPARE(logUntil(answer), QStringList { answer });
        QTest::qWait(200);
        QCOMPARE(prompts(), 0);
        QCOMPARE(m_delegate->helperConnection(), checked);
        QCOMPARE(installed.acceptClient(200), nullptr);
    }

    // Any other answer, or none, installs the shipped helper in place of the old one for the user
    // who launched; the users recorded by hand stay, and none twice.
    void otherHelperIsReplaced_data()
    {
        QTest::addColumn<QString>("installedVersion"); // null: no helper serves, and none is installed
        QTest::addColumn<QByteArray>("usersBefore");
        QTest::addColumn<QByteArray>("usersAfter"); // how the file ends
        QTest::newRow("older") << u"0.9.0"_s << QByteArray("# by hand\n1001") << QByteArray("# by hand\n1001\n4242\n");
        QTest::newRow("trailing blank") << shippedVersion + u' ' << QByteArray("# by hand\n4242\n1001\n")
                                        << QByteArray("# by hand\n4242\n1001\n");
        QTest::newRow("first run, none reachable") << QString() << QByteArray() << QByteArray("\n4242\n");
    }
    void otherHelperIsReplaced()
    {
        QFETCH(QString, installedVersion);
        QFETCH(QByteArray, usersBefore);
        QFETCH(QByteArray, usersAfter);
        const QString id = QStringLiteral(QUELLNET_HELPER_ID), helper = u"/usr/local/libexec/%1/%1"_s.arg(id);
        QFile users(installRoot() + u"/etc/%1/allowed-users"_s.arg(id));
        if (!installedVersion.isNull()) {
            QVERIFY(
                QDir(installRoot()).mkpath(u"etc/"_s + id) && QDir(installRoot()).mkpath(u"usr/local/libexec/"_s + id));
            QVERIFY(users.open(QIODevice::WriteOnly) && users.write(usersBefore) > 0);
            users.close();
            QVERIFY(QFile(installRoot() + helper).open(QIODevice::WriteOnly));
        }
        const QString answerLine = installedVersion.isNull() ? u"The connection to service named " QUELLNET_HELPER_ID
                                                               " was invalidated"_s
                                                             : u"Helper: Installed Version => "_s + installedVersion;
        {
            std::optional<FakeHelper> installed;
            if (!installedVersion.isNull())
                installed.emplace(socketPath());
            launch();
            if (installed) {
                QLocalSocket *client = installed->acceptClient();
                const std::optional<HelperRequest> request = client ? installed->readRequest(client) : std::nullopt;
                QVERIFY(request && request->operation == HelperRequest::Operation::GetVersion);
                installed->reply(client, { request->id, HelperReply::Kind::Version, installedVersion, 0 });
            }
            const QStringList lines = logUntil(installedLine, 30000);
            QVERIFY2(lines.size() >= 3 && lines.first() == bundleLine && lines.at(1).startsWith(answerLine)
                    && lines.contains(installedLine),
                qPrintable(lines.join(u'\n')));
            // Emptied by the installation, not only once the old helper goes away.
            QVERIFY(!m_delegate->xpcHelperConnection());
        }
        QCOMPARE(prompts(), 1);
        QVERIFY(users.open(QIODevice::ReadOnly));
        const QByteArray recorded = users.readAll();
        QVERIFY2(recorded.endsWith(usersAfter) && recorded.count("4242") == 1, recorded.constData());
        QFile copy(installRoot() + helper), shipped(u"" QUELLNET_BUILD_PREFIX "/lib/quellnet/"_s + id);
        QVERIFY(
            copy.open(QIODevice::ReadOnly) && shipped.open(QIODevice::ReadOnly) && copy.readAll() == shipped.readAll());
        QCOMPARE(int(copy.permissions() & 0x7077), 0x7055); // rwxr-xr-x
        QFile unit(installRoot() + u"/etc/systemd/system/%1.service"_s.arg(id));
        QVERIFY(unit.open(QIODevice::ReadOnly)
            && unit.readAll().contains(
                "\nExecStart=/usr/local/libexec/" QUELLNET_HELPER_ID "/" QUELLNET_HELPER_ID "\n"));
        // Nothing staged is left behind.
        QCOMPARE(
            QFileInfo(installRoot() + helper).dir().entryList({ u".*"_s }, QDir::Files | QDir::Hidden), QStringList());
    }

    // The application quits, its window shown, after one line that says why.
    void failedInstallationQuits_data()
    {
        QTest::addColumn<QString>("shell"); // empty: the real install step, into a root that is not a folder
        QTest::addColumn<QString>("line");
        QTest::newRow("prompt dismissed")
            << u"echo 'Error executing command as another user: Request dismissed' >&2; exit 126"_s
            << u"Authorization error: The request for the administrator's authorization was dismissed. "
               "(Error executing command as another user: Request dismissed)"_s;
        QTest::newRow("not authorised") << u"exit 127"_s
                                        << u"Authorization error: The administrator's authorization was not granted."_s;
        QTest::newRow("no pkexec") << u"pkexec"_s << u"Authorization error: pkexec is not installed"_s;
        QTest::newRow("install step fails") << QString() << u"Bless Error: %1 is not a folder"_s;
        QTest::newRow("install step fails silently")
            << u"exit 3"_s << u"Bless Error: The install step failed with exit status 3."_s;
    }
    void failedInstallationQuits()
    {
        QFETCH(QString, shell);
        QFETCH(QString, line);
        const QString notAFolder = m_dir->filePath(u"file"_s);
        QVERIFY(QFile(notAFolder).open(QIODevice::WriteOnly));
        if (shell == u"pkexec")
            launch(std::make_unique<PkexecPrivilegeStep>(u"/nonexistent/pkexec"_s));
        else
            launch(pkexecRunning(shell.isEmpty() ? installInto(notAFolder) : shell));
        QVERIFY(QTest::qWaitForWindowExposed(m_delegate->window()));

        QTimer::singleShot(30000, m_delegate.get(), [] { QCoreApplication::exit(99); });
        QCOMPARE(QApplication::exec(), 0);
        const QStringList lines = takeLog();
        const QStringList failures = lines.filter(QRegularExpression(u"^(Authorization error|Bless Error): "_s));
        QVERIFY2(failures.size() == 1 && failures.first().startsWith(shell.isEmpty() ? line.arg(notAFolder) : line),
            qPrintable(lines.join(u'\n')));
        QVERIFY(!lines.contains(installedLine));
    }

    // A shipped helper whose version cannot be read means installing, at once, within the launch.
    void unreadableShippedHelperInstallsAtOnce_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::newRow("no version") << QByteArray("echo '{\"CFBundleIdentifier\":\"" QUELLNET_HELPER_ID "\"}'");
        QTest::newRow("fails") << QByteArray("exit 1");
        QTest::newRow("hangs") << QByteArray("exec sleep 60");
    }
    void unreadableShippedHelperInstallsAtOnce()
    {
        QFETCH(QByteArray, script);
        const QString prefix = m_dir->filePath(u"prefix"_s);
        QVERIFY(QDir().mkpath(prefix + u"/lib/quellnet"_s));
        QVERIFY(QFile::link(u"" QUELLNET_BUILD_PREFIX "/share"_s, prefix + u"/share"_s));
        QFile helper(prefix + u"/lib/quellnet/" QUELLNET_HELPER_ID ""_s);
        QVERIFY(helper.open(QIODevice::WriteOnly) && helper.write("#!/bin/sh\n" + script + '\n') > 0);
        helper.close();
        QVERIFY(helper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        AppPaths::setPrefixForTesting(prefix);

        launch(pkexecRunning(u"exit 0"_s));
        QCOMPARE(m_connectionsMade.load(), 0);
        QCOMPARE(takeLog(), QStringList());
        QVERIFY(logUntil(installedLine).contains(installedLine));
        QCOMPARE(prompts(), 1);
    }
};

QTEST_MAIN(TestHelperCheck)
#include "tst_helpercheck.moc"
