// Who owns the other end of the management connection, read from the kernel's socket tables.
#include "TcpSocketTable.h"

#include <QTest>

using namespace quellnet;

namespace {

constexpr quint32 loopback = 0x7F000001;
constexpr quint16 serverPort = 1337;
constexpr quint16 clientPort = 40000; // 9C40

// One line as /proc/net/tcp{,6} prints it.
QByteArray row(const char *local, const char *remote, const char *state, uint uid, quint64 inode)
{
    return QByteArray("   7: ") + local + ' ' + remote + ' ' + state + " 00000000:00000000 00:00000000 00000000 "
        + QByteArray::number(uid) + "        0 " + QByteArray::number(inode) + " 1 0000000000000000 20 4 30 10 -1\n";
}

const char *const server = "0100007F:0539";
const char *const client = "0100007F:9C40";

} // namespace

class TestTcpSocketTable : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ownerOfPeer_data();
    void ownerOfPeer();
};

void TestTcpSocketTable::ownerOfPeer_data()
{
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<int>("owner"); // -1: cannot be told

    const QByteArray header
        = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    const QByteArray rootListener = row(server, "00000000:0000", "0A", 0, 100);
    const QByteArray ourEnd = row(client, server, "01", 0, 101);

    QTest::newRow("accepted by root") << header + rootListener + ourEnd + row(server, client, "01", 0, 102) << 0;
    QTest::newRow("accepted by another user")
        << header + rootListener + ourEnd + row(server, client, "01", 1000, 102) << 1000;
    // Older kernels show a connection nobody has accepted yet as root's, whoever listens.
    QTest::newRow("not accepted, another user listens")
        << header + row(server, "00000000:0000", "0A", 1000, 100) + row(server, client, "01", 0, 0) << 1000;
    QTest::newRow("not accepted, root listens") << header + rootListener + row(server, client, "01", 0, 0) << 0;
    QTest::newRow("not accepted, shown as the listener's")
        << header + row(server, "00000000:0000", "0A", 1000, 100) + row(server, client, "01", 1000, 0) << 1000;
    QTest::newRow("time-wait decoy") << header + row(server, client, "06", 0, 0)
            + row(server, "00000000:0000", "0A", 1000, 100)
                                     << 1000;
    QTest::newRow("orphaned FIN_WAIT2 decoy") << header + row(server, client, "05", 0, 0) << -1;
    QTest::newRow("root listens on any address") << header + row("00000000:0539", "00000000:0000", "0A", 0, 100) << 0;
    QTest::newRow("listener on another address does not count")
        << header + rootListener + row("0200007F:0539", "00000000:0000", "0A", 1000, 100) << 0;
    QTest::newRow("listener on another port does not count")
        << header + rootListener + row("0100007F:053A", "00000000:0000", "0A", 1000, 100) << 0;
    QTest::newRow("dual-stack listener of another user") << header + rootListener
            + row("00000000000000000000000000000000:0539", "00000000000000000000000000000000:0000", "0A", 1000, 1)
                                                         << 1000;
    QTest::newRow("v4-mapped listener of another user")
        << header + row("0000000000000000FFFF00000100007F:0539", "00000000000000000000000000000000:0000", "0A", 1000, 1)
        << 1000;
    QTest::newRow("v6 loopback listener does not count") << header + rootListener
            + row("00000000000000000000000001000000:0539", "00000000000000000000000000000000:0000", "0A", 1000, 1)
                                                         << 0;
    QTest::newRow("nothing listens") << header + ourEnd << -1;
    QTest::newRow("garbage") << QByteArray("0100007F:0539 0A 0\n   1: zz:0539 00000000:0000 0A x y z 0 0 1\n") << -1;
}

void TestTcpSocketTable::ownerOfPeer()
{
    QFETCH(QByteArray, table);
    QFETCH(int, owner);

    const std::optional<uint> found
        = TcpSocketTable::ownerOfPeer(TcpSocketTable::parse(table), loopback, clientPort, loopback, serverPort);
    QCOMPARE(found ? int(*found) : -1, owner);
}

QTEST_GUILESS_MAIN(TestTcpSocketTable)
#include "tst_tcpsockettable.moc"
