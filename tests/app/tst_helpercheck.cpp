// The helper check at launch and the installation it leads to, through the real delegate and
// window. Installations run the real install step as root into a temporary root; the helper
// that is already there is a stand-in speaking the real protocol on a temporary socket, and the
// new one is the installed copy of the real helper on that socket.

#include "../helperlink/FakeHelper.h"
#include "../ui/GuiTesting.h"
#include "AppDelegate.h"
#include "HelperConnectionProvider.h"
#include "LaunchStandIns.h"
#include "MainViewController.h"
#include "PkexecPrivilegeStep.h"
#include "SystemLog.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <mutex>

#include <sys/prctl.h>

using namespace quellnet;
using namespace quellnet::testing;

namespace {

const QString shippedVersion = QStringLiteral(QUELLNET_VERSION);
const QString installedLine = QStringLiteral(QUELLNET_HELPER_ID " installed successfully");

// The lines written to the system log while it lives.
class LogCapture
{
public:
    LogCapture()
    {
        SystemLog::setSinkForTesting([this](const QString &line) {
            std::lock_guard lock(m_mutex);
            m_lines << line;
        });
    }
    ~LogCapture() { SystemLog::setSinkForTesting({}); }

    QStringList takeLines()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_lines, {});
    }

private:
    std::mutex m_mutex;
    QStringList m_lines;
};

} // namespace

class TestHelperCheck : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::atomic<int> m_prompts = 0;
    std::atomic<int> m_connectionsMade = 0;
    std::atomic<int> m_current = -1; // what a check's callback got
    std::unique_ptr<AppDelegate> m_delegate;
    std::unique_ptr<LogCapture> m_log;

    QString socketPath() const { return m_dir->filePath(QStringLiteral("helper.sock")); }
    QString installRoot() const { return m_dir->filePath(QStringLiteral("root")); }

    void launch(std::unique_ptr<PrivilegeStep> step)
    {
        m_delegate = std::make_unique<AppDelegate>(
            [this] {
                ++m_connectionsMade;
                return std::make_shared<LocalHelperConnection>(socketPath());
            },
            std::move(step));
        m_delegate->applicationDidFinishLaunching();
    }

    // Answers the launch's version request as the helper installed before.
    static void answerAs(FakeHelper &installed, const QString &version)
    {
        QLocalSocket *client = installed.acceptClient();
        QVERIFY(client);
        const std::optional<HelperRequest> request = installed.readRequest(client);
        QVERIFY(request && request->operation == HelperRequest::Operation::GetVersion);
        installed.reply(client, { request->id, HelperReply::Kind::Version, version, 0 });
    }

    // The log's lines until `line` arrives (or the time-out).
    QStringList linesUntil(const QString &line, int timeoutMs = 5000)
    {
        QStringList lines;
        [[maybe_unused]] const bool arrived
            = QTest::qWaitFor([&] { return (lines += m_log->takeLines()).contains(line); }, timeoutMs);
        return lines;
    }

    // Runs the event loop; a loop still running after `seconds` is ended with 99.
    static int runEventLoop(int seconds)
    {
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(seconds * 1000);
        return QApplication::exec();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        setUpGuiTest(m_config);
        if (::geteuid() != 0)
            QSKIP("installs as root");
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid() && QDir().mkdir(installRoot()));
        m_prompts = 0;
        m_connectionsMade = 0;
        m_current = -1;
        m_log = std::make_unique<LogCapture>();
    }

    void cleanup()
    {
        m_delegate.reset();
        m_log.reset();
        AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
    }

    void currentHelperIsKept()
    {
        FakeHelper installed(socketPath());
        launch(StandInPrivilegeStep::installingInto(installRoot(), &m_prompts));
        const HelperConnectionPtr checked = m_delegate->xpcHelperConnection();
        answerAs(installed, shippedVersion);

        const QString answer = QStringLiteral("Helper: Installed Version => ") + shippedVersion;
        QCOMPARE(
            linesUntil(answer), QStringList({ QStringLiteral("Helper: Bundle Version => ") + shippedVersion, answer }));
        QTest::qWait(200);
        QCOMPARE(m_prompts.load(), 0);
        // The VPN service later gets the connection the check opened.
        QCOMPARE(m_delegate->helperConnection(), checked);
        QCOMPARE(installed.acceptClient(200), nullptr);
    }

    // Any other answer, or none, installs the shipped helper; the next request reaches it.
    void otherHelperIsReplaced_data()
    {
        QTest::addColumn<QString>("installedVersion"); // null: no helper serves
        QTest::newRow("older") << QStringLiteral("0.9.0");
        QTest::newRow("newer") << QStringLiteral("1.0.1");
        QTest::newRow("trailing blank") << shippedVersion + QLatin1Char(' ');
        QTest::newRow("first run, none reachable") << QString();
    }
    void otherHelperIsReplaced()
    {
        QFETCH(QString, installedVersion);
        const QString answerLine = installedVersion.isNull()
            ? QStringLiteral("The connection to service named " QUELLNET_HELPER_ID " was invalidated")
            : QStringLiteral("Helper: Installed Version => ") + installedVersion;
        {
            std::optional<FakeHelper> installed;
            if (!installedVersion.isNull())
                installed.emplace(socketPath());
            launch(StandInPrivilegeStep::installingInto(installRoot(), &m_prompts));
            if (installed)
                answerAs(*installed, installedVersion);
            const QStringList lines = linesUntil(installedLine, 30000);
            QVERIFY2(lines.size() >= 3 && lines.contains(installedLine), qPrintable(lines.join(QLatin1Char('\n'))));
            QCOMPARE(lines.first(), QStringLiteral("Helper: Bundle Version => ") + shippedVersion);
            QVERIFY2(lines.at(1).startsWith(answerLine), qPrintable(lines.at(1)));
        }
        QCOMPARE(m_prompts.load(), 1);
        QVERIFY(!m_delegate->xpcHelperConnection());
        const QString users = installRoot() + QStringLiteral("/etc/" QUELLNET_HELPER_ID "/allowed-users");
        QFile recorded(users);
        QVERIFY(recorded.open(QIODevice::ReadOnly));
        QVERIFY(recorded.readAll().contains('\n' + QByteArray::number(StandInPrivilegeStep::askingUid)));

        // What the restarted service does: the installed copy serves the socket.
        const QString runtime = m_dir->filePath(QStringLiteral("run"));
        QVERIFY(QDir().mkdir(runtime)
            && QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QProcess helper;
        helper.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        helper.setProcessChannelMode(QProcess::MergedChannels);
        helper.start(installRoot() + QStringLiteral("/usr/local/libexec/" QUELLNET_HELPER_ID "/" QUELLNET_HELPER_ID),
            { QStringLiteral("--socket"), socketPath(), QStringLiteral("--runtime-dir"), runtime,
                QStringLiteral("--allowed-users-file"), users });
        QByteArray output;
        QTRY_VERIFY2((output += helper.readAll()).contains(" serving "), output.constData());
        m_delegate->shouldInstallHelper([this](bool current) { m_current = current; });
        QTRY_COMPARE(m_current.load(), 1);
        helper.terminate();
        QVERIFY(helper.waitForFinished());
    }

    // The application quits, its window shown, after one line that says why.
    void failedInstallationQuits_data()
    {
        QTest::addColumn<QString>("shell"); // empty: the real install step, into a root that is not a folder
        QTest::addColumn<QString>("line");
        QTest::newRow("prompt dismissed")
            << QStringLiteral("echo 'Error executing command as another user: Request dismissed' >&2; exit 126")
            << QStringLiteral("Authorization error: The request for the administrator's authorization was dismissed. "
                              "(Error executing command as another user: Request dismissed)");
        QTest::newRow("not authorised") << QStringLiteral(
            "exit 127") << QStringLiteral("Authorization error: The administrator's authorization was not granted.");
        QTest::newRow("no pkexec") << QStringLiteral("pkexec")
                                   << QStringLiteral("Authorization error: pkexec is not installed");
        QTest::newRow("install step fails") << QString() << QStringLiteral("Bless Error: %1 is not a folder");
        QTest::newRow("install step fails silently")
            << QStringLiteral("exit 3") << QStringLiteral("Bless Error: The install step failed with exit status 3.");
    }
    void failedInstallationQuits()
    {
        QFETCH(QString, shell);
        QFETCH(QString, line);
        const QString notAFolder = m_dir->filePath(QStringLiteral("file"));
        QFile(notAFolder).open(QIODevice::WriteOnly);
        if (shell.isEmpty())
            launch(StandInPrivilegeStep::installingInto(notAFolder));
        else if (shell == QLatin1String("pkexec"))
            launch(std::make_unique<PkexecPrivilegeStep>(QStringLiteral("/nonexistent/pkexec")));
        else
            launch(StandInPrivilegeStep::running(shell));
        QVERIFY(QTest::qWaitForWindowExposed(m_delegate->window()));

        QCOMPARE(runEventLoop(30), 0);
        const QStringList lines = m_log->takeLines();
        if (line.contains(QLatin1String("%1")))
            line = line.arg(notAFolder);
        const auto failures = lines.filter(QRegularExpression(QStringLiteral("^(Authorization error|Bless Error): ")));
        QVERIFY2(failures.size() == 1 && failures.first().startsWith(line), qPrintable(lines.join(QLatin1Char('\n'))));
        QVERIFY(!lines.contains(installedLine));
    }

    // A shipped helper whose version cannot be read means installing, at once, within the launch.
    void unreadableShippedHelperInstallsAtOnce_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::newRow("no version") << QByteArray("echo '{\"CFBundleIdentifier\":\"" QUELLNET_HELPER_ID "\"}'");
        QTest::newRow("version not a string") << QByteArray("echo '{\"CFBundleVersion\":1}'");
        QTest::newRow("not JSON") << QByteArray("echo CFBundleVersion=1.0.0");
        QTest::newRow("fails") << QByteArray("exit 1");
        QTest::newRow("hangs") << QByteArray("exec sleep 60");
    }
    void unreadableShippedHelperInstallsAtOnce()
    {
        QFETCH(QByteArray, script);
        const QString prefix = m_dir->filePath(QStringLiteral("prefix"));
        QVERIFY(QDir().mkpath(prefix + QStringLiteral("/lib/quellnet")));
        QVERIFY(QFile::link(QStringLiteral(QUELLNET_BUILD_PREFIX "/share"), prefix + QStringLiteral("/share")));
        QFile helper(prefix + QStringLiteral("/lib/quellnet/" QUELLNET_HELPER_ID));
        QVERIFY(helper.open(QIODevice::WriteOnly));
        helper.write("#!/bin/sh\n" + script + '\n');
        helper.close();
        QVERIFY(helper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        AppPaths::setPrefixForTesting(prefix);

        launch(StandInPrivilegeStep::running(QStringLiteral("exit 0"), &m_prompts));
        QCOMPARE(m_prompts.load(), 1);
        QCOMPARE(m_connectionsMade.load(), 0);
        QCOMPARE(m_log->takeLines(), QStringList());
        QVERIFY(linesUntil(installedLine).contains(installedLine));
    }

    // The launch does not wait for the helper's answer: the form is in use meanwhile.
    void formIsUsableWhileTheCheckIsPending()
    {
        FakeHelper installed(socketPath());
        launch(StandInPrivilegeStep::installingInto(installRoot(), &m_prompts));
        QLocalSocket *client = installed.acceptClient();
        QVERIFY(client && installed.readRequest(client));

        MainViewController *view = m_delegate->mainViewController();
        QVERIFY(QTest::qWaitForWindowActive(m_delegate->window()));
        QTest::keyClicks(view->emailEdit(), QStringLiteral("anna@example.ch"));
        QTest::mouseClick(view->rememberCheck(), Qt::LeftButton);
        QCOMPARE(view->emailEdit()->text(), QStringLiteral("anna@example.ch"));
        QVERIFY(view->rememberCheck()->isChecked());
        QCOMPARE(m_log->takeLines(), QStringList { QStringLiteral("Helper: Bundle Version => ") + shippedVersion });
        QCOMPARE(m_prompts.load(), 0);
    }
};

QTEST_MAIN(TestHelperCheck)
#include "tst_helpercheck.moc"
