// The helper's restore of what client.up recorded, on files in a temporary folder that stands in for
// /etc (the stack's end-to-end test does the same on its machine's real path), with a recording
// resolvconf. Runs in a network namespace of its own, whose IPv6 routes it may clear.
#include "helper/ResolverState.h"
#include "tests/support/TestTools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {
enum class Original { File, Link, Absent };

} // namespace

class TestResolverState : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void restore_data()
    {
        QTest::addColumn<Original>("original");
        QTest::addColumn<bool>("replacedMeanwhile"); // someone else wrote the file while the tunnel was up
        QTest::newRow("a file comes back") << Original::File << false;
        QTest::newRow("a link comes back as the same link") << Original::Link << false;
        QTest::newRow("no file before: none after") << Original::Absent << false;
        QTest::newRow("replaced by someone else: theirs stays") << Original::File << true;
        QTest::newRow("a link replaced by someone else: theirs stays") << Original::Link << true;
    }
    void restore()
    {
        QFETCH(Original, original);
        QFETCH(bool, replacedMeanwhile);
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath(u"state"_s) && QDir(root.path()).mkpath(u"etc/nm"_s));
        const QString state = root.filePath(u"state"_s);
        const QString etc = root.filePath(u"etc"_s);
        const QString target = etc + u"/resolv.conf"_s;
        const QByteArray lan = "nameserver 192.168.1.1\nsearch lan\n";
        const QByteArray ours = "# tunnel\nnameserver 10.8.0.1\n";
        const QByteArray theirs = "nameserver 192.168.7.7\n";
        QVERIFY(writeFile(etc + u"/nm/resolv.conf"_s, lan));

        // What client.up leaves while the tunnel is up.
        switch (original) {
        case Original::File:
            QVERIFY(writeFile(state + u"/resolv.conf.backup"_s, lan));
            break;
        case Original::Link:
            QVERIFY(QFile::link(u"nm/resolv.conf"_s, state + u"/resolv.conf.backup"_s));
            break;
        case Original::Absent:
            QVERIFY(writeFile(state + u"/resolv.conf.absent"_s, {}));
            break;
        }
        QVERIFY(writeFile(state + u"/resolv.conf.ours"_s, ours));
        QVERIFY(writeFile(target, replacedMeanwhile ? theirs : ours));

        ResolverState resolver(state, target);
        QString error;
        QVERIFY2(resolver.restoreResolvConf(&error), qPrintable(error));

        const QFileInfo restored(target);
        if (replacedMeanwhile) {
            QCOMPARE(readFile(target), theirs);
        } else if (original == Original::File) {
            QVERIFY(!restored.isSymLink());
            QCOMPARE(readFile(target), lan);
            QCOMPARE(restored.permissions() & QFile::WriteOther, QFile::Permissions());
            QVERIFY(restored.permissions() & QFile::ReadOther);
        } else if (original == Original::Link) {
            QVERIFY(restored.isSymLink());
            QCOMPARE(QFile::symLinkTarget(target), etc + u"/nm/resolv.conf"_s);
        } else {
            QVERIFY(!restored.exists() && !restored.isSymLink());
        }
        // The link's target is never written, and nothing is left to restore a second time.
        QCOMPARE(readFile(etc + u"/nm/resolv.conf"_s), lan);
        QCOMPARE(QDir(state).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList());
        QCOMPARE(
            QDir(etc).entryList({ u".resolv.conf*"_s }, QDir::AllEntries | QDir::Hidden | QDir::System), QStringList());
        QVERIFY(resolver.restoreResolvConf(&error));
    }

    // openvpn ended without client.down while resolvconf held the tunnel's record: the helper deletes
    // it, but only for a record that names a device.
    void resolvconfRecord_data()
    {
        QTest::addColumn<QByteArray>("method"); // dns-method as client.up writes it
        QTest::addColumn<QByteArray>("calls");
        QTest::newRow("the device's record is deleted")
            << QByteArray("resolvconf tun7\n") << QByteArray("-d tun7.quellnet \n");
        QTest::newRow("an option for a device") << QByteArray("resolvconf -a\n") << QByteArray();
        QTest::newRow("a path for a device") << QByteArray("resolvconf ../x\n") << QByteArray();
        QTest::newRow("systemd-resolved forgets the device by itself") << QByteArray("resolved tun7\n") << QByteArray();
    }
    void resolvconfRecord()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, calls);
        QTemporaryDir root;
        const QString standIn = root.filePath(u"resolvconf"_s);
        QVERIFY(writeFile(standIn,
            "#!/bin/sh\nprintf '%s ' \"$@\" >>" + QFile::encodeName(root.filePath(u"calls"_s)) + "\necho >>"
                + QFile::encodeName(root.filePath(u"calls"_s)) + "\n"));
        QVERIFY(QFile::setPermissions(standIn, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(QDir(root.path()).mkdir(u"state"_s));
        QVERIFY(writeFile(root.filePath(u"state/dns-method"_s), method));

        ResolverState(root.filePath(u"state"_s), root.filePath(u"resolv.conf"_s), standIn).restoreLeftovers();
        QCOMPARE(readFile(root.filePath(u"calls"_s)), calls);
        QVERIFY(!QFile::exists(root.filePath(u"state/dns-method"_s)));
    }

    // Without a record (client.down ran, or client.up never did) the file is not touched.
    void nothingRecorded()
    {
        QTemporaryDir root;
        const QString target = root.filePath(u"resolv.conf"_s);
        QVERIFY(writeFile(target, "nameserver 192.168.1.1\n"));
        QVERIFY(writeFile(root.filePath(u"resolv.conf.ours"_s), "nameserver 10.8.0.1\n"));
        QVERIFY(ResolverState(root.path(), target).restoreResolvConf());
        QCOMPARE(readFile(target), QByteArray("nameserver 192.168.1.1\n"));
        QVERIFY(!QFile::exists(root.filePath(u"resolv.conf.ours"_s)));
    }
};

QTEST_GUILESS_MAIN(TestResolverState)
#include "tst_resolverstate.moc"
