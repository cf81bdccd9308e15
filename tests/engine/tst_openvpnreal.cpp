// The service against a real openvpn 2.6, run as a child of this test (the helper's part).
#include "engine/OpenVPNManagement.h"
#include "engine/OpenVPNService.h"
#include "tests/support/FakeHelperProtocol.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/StateTrace.h"
#include "tests/support/Waiting.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

class TestOpenVPNReal : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QUdpSocket m_silentServer;
    FakeConnectionProvider m_delegate;
    std::shared_ptr<FakeHelperProtocol> m_helper;
    QProcess m_process;

    FakeHelperProtocol &helper() { return *m_helper; }

    // The helper's part, with the options the client relies on: the management interface asks for
    // the run's password, which openvpn reads from the first line of a root-only file.
    void runOpenVPN(const FakeHelperProtocol::RunRequest &request)
    {
        QFile passwordFile(m_dir.filePath(u"management.pw"_s));
        QVERIFY(passwordFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(passwordFile.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        passwordFile.write(request.managementPassword.toLatin1() + '\n');
        passwordFile.close();
        m_process.setArguments({ u"--config"_s, request.config, u"--nobind"_s, u"--management"_s, u"127.0.0.1"_s,
            u"1337"_s, passwordFile.fileName(), u"--management-query-passwords"_s, u"--auth-retry"_s, u"none"_s });
        m_process.disconnect(this);
        connect(&m_process, &QProcess::finished, this,
            [handler = request.terminationHandler](int exitCode) { handler(exitCode); });
        m_process.start();
        QVERIFY(m_process.waitForStarted(10000));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("runs openvpn the way the root helper does; needs root");
        m_process.setProgram(QStandardPaths::findExecutable(u"openvpn"_s, { u"/usr/sbin"_s, u"/sbin"_s }));
        if (m_process.program().isEmpty())
            QSKIP("openvpn is not installed");
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        // A server that never answers: openvpn waits for it until it is stopped, so the fingerprint
        // it would check never matters.
        QVERIFY(m_silentServer.bind(QHostAddress::LocalHost, 0));
        QFile config(m_dir.filePath(u"client.ovpn"_s));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("client\ndev tun\nproto udp\nremote 127.0.0.1 " + QByteArray::number(m_silentServer.localPort())
            + "\nnobind\nauth-user-pass\nverb 3\npeer-fingerprint " + QByteArray(32, '\0').toHex(':') + "\n");
        OpenVPNService::shared().setConfig(config.fileName());
        OpenVPNService::shared().setUsername(u"anna@example.com"_s);
        QVERIFY(stageScripts(m_dir.path()));
        m_helper = std::make_shared<FakeHelperProtocol>();
        // The run request comes from the start's own thread; the process belongs to this one.
        m_helper->onRun = [this](const FakeHelperProtocol::RunRequest &request) {
            QMetaObject::invokeMethod(this, [this, request] { runOpenVPN(request); }, Qt::BlockingQueuedConnection);
        };
        m_delegate.connection = std::make_shared<FakeHelperConnection>(m_helper);
        HelperConnectionProvider::setApplicationDelegate(&m_delegate);
    }

    void cleanup()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!OpenVPNService::shared().isStarting(), 30000);
        m_process.kill();
        m_process.waitForFinished(10000);
        OpenVPNService::shared().management().socket().close();
        QTRY_COMPARE(OpenVPNService::shared().management().readerCount(), 0);
        drainEvents();
        OpenVPNService::shared().setState(u"NOPROCESS"_s);
    }

    void cleanupTestCase() { HelperConnectionProvider::setApplicationDelegate(nullptr); }

    void stateReportsDriveTheStateUntilStop_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("blank, quote and backslash") << u"my pass\"q\\"_s;
        // The longest value openvpn takes: 256 bytes, characters to escape included.
        QTest::newRow("256 bytes") << QString(200, u'p') + QString(26, QChar(0xE9)) + u"\\\"\\\""_s;
    }

    void stateReportsDriveTheStateUntilStop()
    {
        QFETCH(QString, password);
        QVERIFY(password.toUtf8().size() <= 256);
        OpenVPNService &service = OpenVPNService::shared();
        OutputCapture output;
        StateTrace trace;
        service.setPassword(password);
        service.startOpenVPN();
        // openvpn only waits for its server once it has taken the credentials.
        QTRY_COMPARE_WITH_TIMEOUT(service.state(), u"WAIT"_s, 20000);
        QTRY_VERIFY(!service.isStarting());
        QCOMPARE(service.management().readerCount(), 1);
        const QString written = output.standardOutput().join(QString());
        QVERIFY2(!written.contains(u"ERROR"_s), qPrintable(written));
        QVERIFY2(!written.contains(password), "the password reached standard output");
        QVERIFY2(!written.contains(helper().runs().back().managementPassword), "the secret was traced");
        QTRY_VERIFY(output.standardOutput().join(QString()).contains(u"MANAGEMENT: CMD 'password [...]'"_s));
        drainEvents();
        const qsizetype beforeStop = trace.states().size();
        service.stopOpenVPN();
        QTRY_COMPARE_WITH_TIMEOUT(service.state(), u"NOPROCESS"_s, 20000);
        QTRY_COMPARE(service.management().readerCount(), 0);
        QCOMPARE(m_process.exitCode(), 0);
        QVERIFY(output.logLines().contains(u"OpenVPN exited: termiationStatus=0"_s));
        drainEvents();
        // openvpn's "EXITING" report, then the exit reply's NOPROCESS: had the report been lost or come
        // after the reply, the end of the connection would have set NOPROCESS and the reply found nothing to do.
        QCOMPARE(trace.states().size() - beforeStop, 2);
        QCOMPARE(trace.states().last(), u"NOPROCESS"_s);
    }
};

QTEST_GUILESS_MAIN(TestOpenVPNReal)
#include "tst_openvpnreal.moc"
