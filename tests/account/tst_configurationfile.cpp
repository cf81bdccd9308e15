// The configuration file in the user's private folder: what may be replaced, what is refused and left
// as it was, and where the file goes when the session's runtime folder cannot be used.
#include "account/ConfigurationFile.h"
#include "tests/support/TestTools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

class TestConfigurationFile : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_runtime;
    const QByteArray m_profile = "client\ndev tun\nremote 10.203.0.2 1194\n";

    QString folder() const { return m_runtime->filePath(u"quellnet"_s); }
    QString file() const { return folder() + u"/quellnet.ovpn"_s; }

private Q_SLOTS:
    void init()
    {
        m_runtime = std::make_unique<QTemporaryDir>();
        QVERIFY(m_runtime->isValid());
        QVERIFY(QFile::setPermissions(m_runtime->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime->path()));
    }

    // Only a regular file of the user's own is replaced, whole and for the owner only, in a folder
    // of the user's own that is closed to others (it is closed when it was open); a folder that is not
    // the user's own is refused. What planted objects at the file's path do is seen by the window's
    // fault test.
    void theFolder_data()
    {
        QTest::addColumn<QString>("setUp"); // shell, in the runtime folder
        QTest::addColumn<bool>("written");
        QTest::newRow("missing") << QString() << true;
        QTest::newRow("an earlier file of the user's")
            << u"mkdir -m 700 quellnet && echo 'remote old.example' >quellnet/quellnet.ovpn"_s << true;
        QTest::newRow("open to others") << u"mkdir -m 777 quellnet"_s << true;
        QTest::newRow("symlink to a folder") << u"mkdir elsewhere && ln -s elsewhere quellnet"_s << false;
        QTest::newRow("a file") << u"touch quellnet"_s << false;
        if (::geteuid() == 0)
            QTest::newRow("another user's folder")
                << u"mkdir -m 700 quellnet && chown %1 quellnet"_s.arg(nobody) << false;
    }
    void theFolder()
    {
        QFETCH(QString, setUp);
        QFETCH(bool, written);
        if (!setUp.isEmpty())
            QCOMPARE(
                QProcess::execute(u"/bin/sh"_s, { u"-ec"_s, u"cd '%1' && %2"_s.arg(m_runtime->path(), setUp) }), 0);
        QString error;
        QCOMPARE(ConfigurationFile::write(m_profile, &error), written);
        QCOMPARE(ConfigurationFile::path(), file());
        if (written) {
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QCOMPARE(fileMode(folder()), S_IFDIR | 0700);
            QCOMPARE(readFile(file()), m_profile);
            QCOMPARE(fileMode(file()), S_IFREG | 0600);
            QCOMPARE(QDir(folder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                QStringList { u"quellnet.ovpn"_s });
        } else {
            QVERIFY(error.startsWith(folder()));
            QVERIFY(!QFile::exists(m_runtime->filePath(u"elsewhere/quellnet.ovpn"_s)));
        }
    }

    // A runtime folder that is missing or that others may enter is not used: the file goes into a
    // private folder of the process's own under the temporary directory, the same for every write.
    void withoutAUsableRuntimeFolder_data()
    {
        QTest::addColumn<QString>("runtime"); // %1: a folder of the test's
        QTest::addColumn<int>("mode");
        QTest::newRow("unset") << QString() << 0;
        QTest::newRow("relative") << u"relative/run"_s << 0;
        QTest::newRow("missing") << u"%1/missing"_s << 0;
        QTest::newRow("open to the group") << u"%1"_s << 0770;
    }
    void withoutAUsableRuntimeFolder()
    {
        QFETCH(QString, runtime);
        QFETCH(int, mode);
        if (mode != 0)
            QCOMPARE(::chmod(QFile::encodeName(m_runtime->path()).constData(), mode_t(mode)), 0);
        if (runtime.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.arg(m_runtime->path())));
        const QString path = ConfigurationFile::path();
        const QFileInfo place(QFileInfo(path).path());
        QCOMPARE(place.path(), QDir::tempPath());
        QVERIFY2(place.fileName().startsWith(u"quellnet-"_s), qPrintable(path));
        QVERIFY(ConfigurationFile::write(m_profile));
        QCOMPARE(readFile(path), m_profile);
        QCOMPARE(fileMode(place.filePath()), S_IFDIR | 0700);
        QCOMPARE(fileMode(path), S_IFREG | 0600);
        QCOMPARE(ConfigurationFile::path(), path);
        QVERIFY(QDir(m_runtime->path()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestConfigurationFile)
#include "tst_configurationfile.moc"
