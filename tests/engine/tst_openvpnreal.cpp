// The service against a real openvpn 2.6: its management interface, state reports and stop.
// openvpn runs as a child of this test (the helper's part), and is killed with it.
#include "AppPaths.h"
#include "EngineTestSupport.h"
#include "FakeHelper.h"
#include "OpenVPNManagement.h"
#include "OpenVPNService.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <memory>
#include <vector>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;

class TestOpenVPNReal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void stateReportsDriveTheStateUntilStop_data();
    void stateReportsDriveTheStateUntilStop();

private:
    // The helper's part: run openvpn with the options the client relies on.
    void runOpenVPN(const FakeHelper::RunRequest &request);
    void killOpenVPN();

    QString m_openvpn;
    QTemporaryDir m_dir;
    QString m_config;
    QUdpSocket m_silentServer;
    FakeDelegate m_delegate;
    std::shared_ptr<FakeHelper> m_helper;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void TestOpenVPNReal::initTestCase()
{
    if (::geteuid() != 0)
        QSKIP("runs openvpn the way the root helper does; needs root");
    m_openvpn = QStandardPaths::findExecutable(
        QStringLiteral("openvpn"), { QStringLiteral("/usr/sbin"), QStringLiteral("/sbin") });
    if (m_openvpn.isEmpty())
        QSKIP("openvpn is not installed");
    QVERIFY(m_dir.isValid());

    // A throw-away CA: the client needs one to start, and never gets to use it.
    QProcess openssl;
    openssl.setWorkingDirectory(m_dir.path());
    openssl.start(QStringLiteral("openssl"),
        { QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
            QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
            QStringLiteral("-subj"), QStringLiteral("/CN=quellnet engine test CA"), QStringLiteral("-days"),
            QStringLiteral("1"), QStringLiteral("-keyout"), QStringLiteral("ca-key.pem"), QStringLiteral("-out"),
            QStringLiteral("ca.pem") });
    QVERIFY(openssl.waitForFinished(30000));
    QCOMPARE(openssl.exitCode(), 0);
    QFile ca(m_dir.filePath(QStringLiteral("ca.pem")));
    QVERIFY(ca.open(QIODevice::ReadOnly));

    // A server that never answers: openvpn waits for it until it is stopped.
    QVERIFY(m_silentServer.bind(QHostAddress::LocalHost, 0));
    m_config = m_dir.filePath(QStringLiteral("client.ovpn"));
    QFile config(m_config);
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("client\ndev tun\nproto udp\nremote 127.0.0.1 " + QByteArray::number(m_silentServer.localPort())
        + "\nnobind\nauth-user-pass\nverb 3\n<ca>\n" + ca.readAll() + "</ca>\n");
    config.close();

    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("share/quellnet")));
    for (const char *script : { "client.up", "client.down" }) {
        QFile file(m_dir.filePath(QStringLiteral("share/quellnet/") + QLatin1String(script)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    AppPaths::setPrefixForTesting(m_dir.path());

    m_helper = std::make_shared<FakeHelper>();
    m_helper->onRun = [this](const FakeHelper::RunRequest &request) { runOpenVPN(request); };
    m_delegate.connection = std::make_shared<FakeHelperConnection>(m_helper);
    HelperConnectionProvider::setApplicationDelegate(&m_delegate);
}

void TestOpenVPNReal::runOpenVPN(const FakeHelper::RunRequest &request)
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(m_openvpn);
    process->setArguments({ QStringLiteral("--config"), request.config, QStringLiteral("--management"),
        QStringLiteral("127.0.0.1"), QStringLiteral("1337"), QStringLiteral("--management-query-passwords"),
        QStringLiteral("--auth-retry"), QStringLiteral("none") });
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(m_dir.filePath(QStringLiteral("openvpn.log")), QIODevice::Append);
    // Never outlive the test, whatever happens to it.
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    connect(process.get(), &QProcess::finished, this,
        [handler = request.terminationHandler](int exitCode, QProcess::ExitStatus) { handler(exitCode); });
    process->start();
    QVERIFY(process->waitForStarted(10000));
    m_processes.push_back(std::move(process));
}

void TestOpenVPNReal::killOpenVPN()
{
    for (const std::unique_ptr<QProcess> &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(10000);
        }
    }
    m_processes.clear();
}

void TestOpenVPNReal::cleanup()
{
    QTRY_VERIFY_WITH_TIMEOUT(!OpenVPNService::shared().isStarting(), 30000);
    killOpenVPN();
    QFile openvpnLog(m_dir.filePath(QStringLiteral("openvpn.log")));
    if (QTest::currentTestFailed() && openvpnLog.open(QIODevice::ReadOnly))
        qWarning("openvpn's output:\n%s", openvpnLog.readAll().right(4000).constData());
    openvpnLog.remove();
    OpenVPNService::shared().management().socket().close();
    QTRY_COMPARE(OpenVPNService::shared().management().readerCount(), 0);
    drainEvents();
    OpenVPNService::shared().setState(QStringLiteral("NOPROCESS"));
}

void TestOpenVPNReal::cleanupTestCase()
{
    killOpenVPN();
    HelperConnectionProvider::setApplicationDelegate(nullptr);
}

void TestOpenVPNReal::stateReportsDriveTheStateUntilStop_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("blank, quote and backslash") << QStringLiteral("my pass\"q\\");
    // The longest value openvpn takes: 256 bytes, characters to escape included.
    QTest::newRow("256 bytes") << QString(200, u'p') + QString(26, QChar(0xE9)) + QStringLiteral("\\\"\\\"");
}

void TestOpenVPNReal::stateReportsDriveTheStateUntilStop()
{
    QFETCH(QString, password);
    QVERIFY(password.toUtf8().size() <= 256);

    OpenVPNService &service = OpenVPNService::shared();
    OutputCapture output;
    LogCapture log;
    StateObserver observer;
    service.setConfig(m_config);
    service.setUsername(QStringLiteral("anna@example.com"));
    service.setPassword(password);

    service.startOpenVPN();
    // openvpn asks for the credentials before it does anything else, so it only waits for its
    // server once it has taken them.
    QTRY_COMPARE_WITH_TIMEOUT(service.state(), QStringLiteral("WAIT"), 20000);
    QTRY_VERIFY(!service.isStarting());
    QCOMPARE(service.management().readerCount(), 1);
    QVERIFY2(!output.joined().contains(QStringLiteral("ERROR")), qPrintable(output.joined()));
    QVERIFY2(!output.joined().contains(password), "the password reached standard output");
    // "log on" brings openvpn's own log lines to standard output.
    QTRY_VERIFY(output.joined().contains(QStringLiteral("MANAGEMENT: CMD 'password [...]'")));

    drainEvents();
    const int beforeStop = observer.notifications;
    service.stopOpenVPN();
    QTRY_COMPARE_WITH_TIMEOUT(service.state(), QStringLiteral("NOPROCESS"), 20000);
    // openvpn closed the connection on its way out: the reader ends.
    QTRY_COMPARE(service.management().readerCount(), 0);
    QCOMPARE(m_processes.back()->exitCode(), 0);
    QVERIFY(log.texts().contains(QStringLiteral("OpenVPN exited: termiationStatus=0")));
    drainEvents();
    // Two updates since the stop: openvpn's "EXITING" report, then the exit reply's NOPROCESS.
    // Had the report been lost or come after the reply, the end of the connection would have set
    // NOPROCESS on its own and the reply would have found nothing left to do.
    QCOMPARE(observer.notifications - beforeStop, 2);
    QCOMPARE(observer.seen.last(), QStringLiteral("NOPROCESS"));
    QCOMPARE(service.state(), QStringLiteral("NOPROCESS"));
}

QTEST_GUILESS_MAIN(TestOpenVPNReal)
#include "tst_openvpnreal.moc"
