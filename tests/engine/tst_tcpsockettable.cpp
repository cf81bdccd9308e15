// Who owns the other end of the management connection, read from the kernel's socket tables.
#include "engine/TcpSocketTable.h"

#include <QTest>

#include <cstring>

using namespace quellnet;

namespace {

QByteArray row(const char *local, const char *remote, const char *state, uint uid, quint64 inode)
{
    return QByteArray("   7: ") + local + ' ' + remote + ' ' + state + " 00000000:00000000 00:00000000 00000000 "
        + QByteArray::number(uid) + "        0 " + QByteArray::number(inode) + " 1 0000000000000000 20 4 30 10 -1\n";
}

QByteArray listener(const char *local, uint uid)
{
    return row(local, strlen(local) > 13 ? "00000000000000000000000000000000:0000" : "00000000:0000", "0A", uid, 100);
}

// 127.0.0.1:1337 (the server) and 127.0.0.1:40000 (our end).
const char *const server = "0100007F:0539";
const char *const client = "0100007F:9C40";
// The same two, seen through an IPv6 socket (::ffff:127.0.0.1).
const char *const server6 = "0000000000000000FFFF00000100007F:0539";
const char *const client6 = "0000000000000000FFFF00000100007F:9C40";
const char *const wildcard6 = "00000000000000000000000000000000:0539";

} // namespace

class TestTcpSocketTable : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ownerOfPeer_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<int>("owner"); // -1: cannot be told
        const QByteArray header
            = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
        const QByteArray rootListener = listener(server, 0);
        const QByteArray ourEnd = row(client, server, "01", 0, 101);
        const QByteArray table = header + rootListener + ourEnd;
        QTest::newRow("accepted by root") << table + row(server, client, "01", 0, 102) << 0;
        QTest::newRow("accepted by another user") << table + row(server, client, "01", 1000, 102) << 1000;
        // Older kernels show a connection nobody has accepted yet as root's, whoever listens.
        QTest::newRow("not accepted, another user listens")
            << header + listener(server, 1000) + row(server, client, "01", 0, 0) << 1000;
        QTest::newRow("time-wait decoy") << header + row(server, client, "06", 0, 0) + listener(server, 1000) << 1000;
        QTest::newRow("orphaned FIN_WAIT2 decoy") << header + row(server, client, "05", 0, 0) << -1;
        QTest::newRow("listener on another address") << table + listener("0200007F:0539", 1000) << 0;
        QTest::newRow("listener on another port") << table + listener("0100007F:053A", 1000) << 0;
        QTest::newRow("dual-stack listener of another user")
            << table + listener("00000000000000000000000000000000:0539", 1000) << 1000;
        QTest::newRow("v4-mapped listener of another user")
            << header + listener("0000000000000000FFFF00000100007F:0539", 1000) << 1000;
        QTest::newRow("v6 loopback listener does not count")
            << table + listener("00000000000000000000000001000000:0539", 1000) << 0;
        QTest::newRow("nothing listens") << header + ourEnd << -1;
        // A dual-stack listener's accepted connections show in the IPv6 table.
        QTest::newRow("accepted by another user's dual-stack listener")
            << header + listener(wildcard6, 1000) + ourEnd + row(server6, client6, "01", 1000, 102) << 1000;
        QTest::newRow("accepted by root's dual-stack listener")
            << header + listener(wildcard6, 0) + ourEnd + row(server6, client6, "01", 0, 102) << 0;
        // Whoever took this connection, another user's socket on the port is a refusal.
        QTest::newRow("accepted by root, another user's v4-mapped connection on the port") << table
                + row(server, client, "01", 0, 102)
                + row(server6, "0000000000000000FFFF00000100007F:9C41", "01", 1000, 103) << 1000;
        QTest::newRow("garbage") << QByteArray("0100007F:0539 0A 0\n   1: zz:0539 00000000:0000 0A x y z 0 0 1\n")
                                 << -1;
    }

    void ownerOfPeer()
    {
        QFETCH(QByteArray, table);
        QFETCH(int, owner);
        constexpr quint32 loopback = 0x7F000001;
        const std::optional<uint> found
            = TcpSocketTable::ownerOfPeer(TcpSocketTable::parse(table), loopback, 40000, loopback, 1337);
        QCOMPARE(found ? int(*found) : -1, owner);
    }

    // What a start watches for while it waits to try the management port again.
    void rootListeners_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<int>("listeners");
        QTest::newRow("root listens on the address") << listener(server, 0) << 1;
        QTest::newRow("root listens on [::]") << listener(wildcard6, 0) << 1;
        QTest::newRow("another user listens") << listener(server, 1000) << 0;
        QTest::newRow("root listens on another port") << listener("0100007F:053A", 0) << 0;
        QTest::newRow("root's accepted connection") << row(server, client, "01", 0, 102) << 0;
    }
    void rootListeners()
    {
        QFETCH(QByteArray, table);
        QFETCH(int, listeners);
        const std::vector<quint64> found
            = TcpSocketTable::rootListeners(TcpSocketTable::parse(table), 0x7F000001, 1337);
        QCOMPARE(int(found.size()), listeners);
    }
};

QTEST_GUILESS_MAIN(TestTcpSocketTable)
#include "tst_tcpsockettable.moc"
