// The helper's install step, run as root (as pkexec would) into temporary roots.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString helperProgram = QStringLiteral(QUELLNET_BUILD_PREFIX "/lib/quellnet/" QUELLNET_HELPER_ID);
const QString installDir = QStringLiteral("/usr/local/libexec/" QUELLNET_HELPER_ID);
const QString installedHelper = installDir + QStringLiteral("/" QUELLNET_HELPER_ID);
const QString usersFile = QStringLiteral("/etc/" QUELLNET_HELPER_ID "/allowed-users");
const QString unitFile = QStringLiteral("/etc/systemd/system/" QUELLNET_HELPER_ID ".service");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
        && file.write(content) == content.size();
}

struct Run
{
    int status = -1;
    QString errors;
};

Run install(const QString &root, const QString &pkexecUid, const QStringList &wrapper = {})
{
    QProcess step;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("PKEXEC_UID"));
    if (!pkexecUid.isNull())
        environment.insert(QStringLiteral("PKEXEC_UID"), pkexecUid);
    step.setProcessEnvironment(environment);
    const QStringList command
        = wrapper + QStringList { helperProgram, QStringLiteral("--install"), QStringLiteral("--root"), root };
    step.start(command.first(), command.mid(1));
    step.waitForFinished(30000);
    return { step.exitStatus() == QProcess::NormalExit ? step.exitCode() : -1,
        QString::fromUtf8(step.readAllStandardError()) };
}

} // namespace

class TestInstallStep : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;

    QString root() const { return m_root->path(); }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("the install step runs as root");
    }

    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(m_root->isValid());
    }

    // The helper is replaced whatever it was; users recorded before stay, and no one twice.
    void replacesTheHelperAndKeepsTheUsers()
    {
        QVERIFY(writeFile(root() + installedHelper, "an older helper"));
        QVERIFY(writeFile(root() + usersFile, "# by hand\nno-such-user-quellnet\n1001"));

        QCOMPARE(install(root(), QStringLiteral("1001")).status, 0);
        QCOMPARE(install(root(), QStringLiteral("4242")).status, 0);
        QCOMPARE(install(root(), QStringLiteral("0")).status, 0);

        QCOMPARE(readFile(root() + installedHelper), readFile(helperProgram));
        QCOMPARE(readFile(root() + installDir + QStringLiteral("/client.up")),
            readFile(QStringLiteral(QUELLNET_SOURCE_DIR "/resources/client.up")));
        struct stat helper = {};
        QCOMPARE(::stat(QFile::encodeName(root() + installedHelper).constData(), &helper), 0);
        QCOMPARE(helper.st_mode & 07777, mode_t(0755));
        QCOMPARE(readFile(root() + usersFile), QByteArray("# by hand\nno-such-user-quellnet\n1001\n4242\n"));
        QVERIFY(readFile(root() + unitFile).contains("\nExecStart=" + installedHelper.toUtf8() + '\n'));
        // Nothing staged is left behind.
        QCOMPARE(QDir(root() + installDir).entryList(QDir::Files | QDir::Hidden).size(), 3);
    }

    // Each failure says why on standard error, with a status that cannot pass for pkexec's own
    // (126, 127), and leaves the helper that was there and nothing half-written.
    void failuresLeaveThePreviousHelper_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("message");
        QTest::newRow("not root") << QStringLiteral("not root") << QStringLiteral("must run as root");
        QTest::newRow("not through pkexec")
            << QStringLiteral("no PKEXEC_UID") << QStringLiteral("PKEXEC_UID is not set");
        QTest::newRow("PKEXEC_UID garbage") << QStringLiteral("1000;0") << QStringLiteral("does not name a user");
        QTest::newRow("install folder open to others")
            << QStringLiteral("open folder") << QStringLiteral("writable by group or others");
        QTest::newRow("unit cannot be replaced")
            << QStringLiteral("unit is a folder") << QStringLiteral("cannot replace");
    }
    void failuresLeaveThePreviousHelper()
    {
        QFETCH(QString, failure);
        QFETCH(QString, message);
        QVERIFY(writeFile(root() + installedHelper, "the helper before"));
        QString pkexecUid = QStringLiteral("4242");
        QStringList wrapper;
        if (failure == QLatin1String("not root"))
            wrapper = QStringList { QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups") };
        else if (failure == QLatin1String("no PKEXEC_UID"))
            pkexecUid = QString();
        else if (failure == QLatin1String("open folder"))
            QVERIFY(QFile::setPermissions(root() + installDir, QFileDevice::Permissions(0x7777)));
        else if (failure == QLatin1String("unit is a folder"))
            QVERIFY(QDir().mkpath(root() + unitFile + QStringLiteral("/x")));
        else
            pkexecUid = failure;

        const Run run = install(root(), pkexecUid, wrapper);
        QVERIFY2(run.status > 0 && run.status != 126 && run.status != 127, qPrintable(run.errors));
        QVERIFY2(run.errors.contains(message), qPrintable(run.errors));
        QCOMPARE(readFile(root() + installedHelper), QByteArray("the helper before"));
        QCOMPARE(
            QDir(root() + installDir).entryList({ QStringLiteral(".*") }, QDir::Files | QDir::Hidden), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestInstallStep)
#include "tst_installstep.moc"
