// The helper check at launch through the real delegate and window; installations run the real
// install step as root into a temporary root.

#include "app/AppDelegate.h"
#include "engine/OpenVPNService.h"
#include "helperlink/LocalHelperConnection.h"
#include "helperlink/PkexecPrivilegeStep.h"
#include "tests/support/GuiTesting.h"
#include "tests/support/HelperSocketStandIn.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/TestTools.h"
#include "ui/FlatButton.h"
#include "ui/MainViewController.h"

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

static const QString shippedVersion = QStringLiteral(QUELLNET_VERSION);
static const QString bundleLine = u"Helper: Bundle Version => "_s + shippedVersion;
static const QString installedLine = QStringLiteral(QUELLNET_HELPER_ID " installed successfully");

class TestHelperCheck : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<AppDelegate> m_delegate;
    std::unique_ptr<OutputCapture> m_output;

    QString socketPath() const { return m_dir->filePath(u"helper.sock"_s); }
    QString installRoot() const { return m_dir->filePath(u"root"_s); }
    static QString installInto(const QString &root) { return u"PKEXEC_UID=4242 exec \"$@\" --root '%1'"_s.arg(root); }
    int prompts() const { return int(QFileInfo(m_dir->filePath(u"prompts"_s)).size()); }

    // pkexec is a script that notes each prompt and runs `shell` with the install step as "$@";
    // by default the real install step as root into installRoot().
    void launch(QString shell = {})
    {
        QFile pkexec(m_dir->filePath(u"pkexec"_s));
        QVERIFY(pkexec.open(QIODevice::WriteOnly));
        pkexec.write(u"#!/bin/sh\necho >>%1/prompts\n%2\n"_s
                         .arg(m_dir->path(), shell.isEmpty() ? installInto(installRoot()) : shell)
                         .toUtf8());
        pkexec.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_delegate
            = std::make_unique<AppDelegate>([this] { return std::make_shared<LocalHelperConnection>(socketPath()); },
                std::make_unique<PkexecPrivilegeStep>(pkexec.fileName()));
        m_delegate->applicationDidFinishLaunching();
    }

    // The shipped helper's version is read on a thread of its own; its line comes back through the
    // event loop, which a test that then blocks on the helper's socket must run first.
    bool versionRead()
    {
        return QTest::qWaitFor([this] { return !m_output->logLines().isEmpty(); });
    }

    QStringList logUntil(const QString &line, int timeoutMs = 5000)
    {
        QStringList lines;
        static_cast<void>(
            QTest::qWaitFor([&] { return (lines += m_output->takeLogLines()).contains(line); }, timeoutMs));
        return lines;
    }

private Q_SLOTS:
    void initTestCase()
    {
        setUpGuiTest(m_config);
        if (::geteuid() != 0)
            QSKIP("installs as root");
        m_output = std::make_unique<OutputCapture>();
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid() && QDir().mkdir(installRoot()));
        m_output->takeLogLines();
    }
    void cleanup() { m_delegate.reset(); }
    void cleanupTestCase() { m_output.reset(); }

    // The form is usable while the check waits; the same version keeps the helper and the
    // connection the check opened.
    void currentHelperIsKept()
    {
        HelperSocketStandIn installed(socketPath());
        launch();
        QVERIFY(versionRead());
        QLocalSocket *client = installed.acceptClient();
        MainViewController *view = m_delegate->mainViewController();
        QVERIFY(QTest::qWaitForWindowActive(m_delegate->window()));
        QTest::keyClicks(view->emailEdit(), u"anna@example.ch"_s);
        QTest::mouseClick(view->rememberCheck(), Qt::LeftButton);
        QVERIFY(view->emailEdit()->text() == u"anna@example.ch"_s && view->rememberCheck()->isChecked());
        QCOMPARE(m_output->takeLogLines(), QStringList { bundleLine });

        const HelperConnectionPtr checked = m_delegate->xpcHelperConnection();
        using Op = HelperRequest::Operation;
        QVERIFY(HelperSocketStandIn::answer(client, Op::GetVersion, versionReply(0)));
        const QString answer = u"Helper: Installed Version => "_s + shippedVersion;
        QCOMPARE(logUntil(answer), QStringList { answer });
        // Then it asks for a tunnel an earlier launch left running; another user's is left alone.
        // The question goes out once the GUI thread has taken the answer in: wait with it running.
        QTRY_VERIFY(client->canReadLine());
        QVERIFY(HelperSocketStandIn::answer(client, Op::GetRun, runReply(0, HelperRun { 4242, {} })));
        QTRY_VERIFY(!OpenVPNService::shared().isStarting());
        QTest::qWait(200);
        QCOMPARE(prompts(), 0);
        QCOMPARE(m_delegate->helperConnection(), checked);
        QCOMPARE(installed.acceptClient(200), nullptr);
        QCOMPARE(view->connectButton()->text(), u"Verbinden"_s);
        QCOMPARE(m_delegate->connectItem()->text(), u"Verbinden"_s);
        QCOMPARE(OpenVPNService::shared().state(), u"NOPROCESS"_s);
    }

    // Any other answer, or none, installs the shipped helper for the user who launched; the users
    // recorded by hand stay, and none twice.
    void otherHelperIsReplaced_data()
    {
        // null: no helper serves, and none is installed
        addRows<QString>("installedVersion", { { "older", u"0.9.0"_s }, { "first run, none reachable", QString() } });
    }
    void otherHelperIsReplaced()
    {
        QFETCH(QString, installedVersion);
        const QString id = QStringLiteral(QUELLNET_HELPER_ID), helper = u"/usr/local/libexec/%1/%1"_s.arg(id);
        QFile users(installRoot() + u"/etc/%1/allowed-users"_s.arg(id));
        if (!installedVersion.isNull()) {
            QVERIFY(
                QDir(installRoot()).mkpath(u"etc/"_s + id) && QDir(installRoot()).mkpath(u"usr/local/libexec/"_s + id));
            QVERIFY(users.open(QIODevice::WriteOnly) && users.write("# by hand\n1001") > 0);
            users.close();
            QVERIFY(QFile(installRoot() + helper).open(QIODevice::WriteOnly));
        }
        const QString answerLine = installedVersion.isNull() ? u"The connection to service named " QUELLNET_HELPER_ID
                                                               " was invalidated"_s
                                                             : u"Helper: Installed Version => "_s + installedVersion;
        {
            std::optional<HelperSocketStandIn> installed;
            if (!installedVersion.isNull())
                installed.emplace(socketPath());
            launch();
            if (installed) {
                QVERIFY(versionRead());
                QVERIFY(HelperSocketStandIn::answer(installed->acceptClient(), HelperRequest::Operation::GetVersion,
                    versionReply(0, installedVersion)));
            }
            const QStringList lines = logUntil(installedLine, 30000);
            QVERIFY2(lines.size() >= 3 && lines.first() == bundleLine && lines.at(1).startsWith(answerLine),
                qPrintable(lines.join(u'\n')));
            if (installed) {
                // The newly installed helper (here the same stand-in) is asked for a tunnel to take over,
                // on a connection of its own: the check's went with the installation.
                QVERIFY(HelperSocketStandIn::answer(
                    installed->acceptClient(), HelperRequest::Operation::GetRun, runReply(0, {})));
                QTRY_VERIFY(!OpenVPNService::shared().isStarting());
            }
        }
        QCOMPARE(prompts(), 1);
        QVERIFY(users.open(QIODevice::ReadOnly));
        const QByteArray recorded = users.readAll();
        QVERIFY2(recorded.endsWith("\n4242\n") && recorded.count("4242") == 1
                && (installedVersion.isNull() || recorded.startsWith("# by hand\n1001\n")),
            recorded.constData());
        QFile copy(installRoot() + helper), shipped(u"" QUELLNET_BUILD_PREFIX "/lib/quellnet/"_s + id);
        QVERIFY(
            copy.open(QIODevice::ReadOnly) && shipped.open(QIODevice::ReadOnly) && copy.readAll() == shipped.readAll());
        QCOMPARE(int(copy.permissions() & 0x7077), 0x7055); // rwxr-xr-x
    }

    // The application quits, its window shown, after one line that says why.
    void failedInstallationQuits_data()
    {
        QTest::addColumn<QString>("shell"); // empty: the real install step, into a root that is not a folder
        QTest::addColumn<QString>("line");
        QTest::newRow("prompt dismissed")
            << u"echo 'Error executing command as another user: Request dismissed' >&2; exit 126"_s
            << u"Authorization error: The request for the administrator's authorization was dismissed."_s;
        QTest::newRow("install step fails") << QString() << u"Bless Error: %1 is not a folder"_s;
    }
    void failedInstallationQuits()
    {
        QFETCH(QString, shell);
        QFETCH(QString, line);
        const QString notAFolder = m_dir->filePath(u"file"_s);
        QVERIFY(QFile(notAFolder).open(QIODevice::WriteOnly));
        launch(shell.isEmpty() ? installInto(notAFolder) : shell);
        QVERIFY(QTest::qWaitForWindowExposed(m_delegate->window()));
        QTimer::singleShot(30000, m_delegate.get(), [] { QCoreApplication::exit(99); });
        QCOMPARE(QApplication::exec(), 0);
        const QStringList lines = m_output->takeLogLines();
        const QStringList failures = lines.filter(u"Authorization error: "_s) + lines.filter(u"Bless Error: "_s);
        QVERIFY2(failures.size() == 1 && failures.first().startsWith(shell.isEmpty() ? line.arg(notAFolder) : line),
            qPrintable(lines.join(u'\n')));
        QVERIFY(!lines.contains(installedLine));
    }

    // A shipped helper whose version cannot be read, even one that hangs, means installing; the
    // launch never waits for it.
    void unreadableShippedHelperInstalls_data()
    {
        addRows<QByteArray>("script", { { "no version", "echo '{}'" }, { "hangs", "exec sleep 60" } });
    }
    void unreadableShippedHelperInstalls()
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
        QElapsedTimer launching;
        launching.start();
        launch(u"exit 0"_s);
        QVERIFY2(launching.elapsed() < 1000, "the launch waited for the shipped helper");
        const QStringList lines = logUntil(installedLine, 10000);
        AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
        QVERIFY2(lines.contains(installedLine) && !lines.contains(bundleLine), qPrintable(lines.join(u'\n')));
        QCOMPARE(prompts(), 1);
    }
};

QTEST_MAIN(TestHelperCheck)
#include "tst_helpercheck.moc"
