// The management parser and the reader's receive buffer, fed the way the reader feeds them.
#include "EngineTestSupport.h"
#include "ManagementParser.h"
#include "ManagementReceiveBuffer.h"

#include <QTest>

using namespace quellnet;
using namespace quellnet::test;

namespace {

const QString unrecognizedLine = QStringLiteral("MGMT: Got unrecognized line from managment");
const QString unrecognizedCommand = QStringLiteral("MGMT: Got unrecognized command");

QString line(const QString &text)
{
    return text + u'\n';
}

} // namespace

class TestManagementParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void chunks_data();
    void chunks();
    void defaultSinkDrivesTheSharedState();
    void chunkThatIsNotUtf8IsDroppedWhole();
    void overlongLineIsDroppedOnce_data();
    void overlongLineIsDroppedOnce();
};

void TestManagementParser::chunks_data()
{
    QTest::addColumn<QStringList>("chunks");
    QTest::addColumn<QStringList>("output");
    QTest::addColumn<QStringList>("states");
    QTest::addColumn<QString>("rest");

    const QString connected = QStringLiteral(">STATE:1700000000,CONNECTED,SUCCESS,10.8.0.2,198.51.100.7,1194,,\r\n");
    QTest::newRow("complete state report")
        << QStringList { connected } << QStringList {} << QStringList { QStringLiteral("CONNECTED") } << QString();
    QTest::newRow("two lines and the start of a third")
        << QStringList { QStringLiteral(">STATE:1,WAIT,,,,,,\r\n>STATE:2,AUTH,,,,,,\r\n>STA") } << QStringList {}
        << QStringList { QStringLiteral("WAIT"), QStringLiteral("AUTH") } << QStringLiteral(">STA");
    QTest::newRow("line split inside a word")
        << QStringList { QStringLiteral(">STATE:1,CONN"), QStringLiteral("ECTED,SUCCESS,,\r\n") } << QStringList {}
        << QStringList { QStringLiteral("CONNECTED") } << QString();
    QTest::newRow("CR at the end of a chunk waits")
        << QStringList { QStringLiteral(">STATE:1,AUTH,,\r") } << QStringList {} << QStringList {}
        << QStringLiteral(">STATE:1,AUTH,,\r");
    QTest::newRow("CR LF split across chunks")
        << QStringList { QStringLiteral(">STATE:1,AUTH,,\r"), QStringLiteral("\n>LOG:x\r") } << QStringList {}
        << QStringList { QStringLiteral("AUTH") } << QStringLiteral(">LOG:x\r");
    QTest::newRow("LF without CR takes the whole buffer")
        << QStringList { QStringLiteral("abc\ndef") }
        << QStringList { line(unrecognizedLine + QStringLiteral("abc\ndef")) } << QStringList {} << QString();
    QTest::newRow("bare LF before a CR LF")
        << QStringList { QStringLiteral("a\nb\r\nc") }
        << QStringList { line(unrecognizedLine + QStringLiteral("a\nb")) } << QStringList {} << QStringLiteral("c");
    QTest::newRow("empty lines") << QStringList { QStringLiteral("\r\n\r\n") }
                                 << QStringList { line(unrecognizedLine), line(unrecognizedLine) } << QStringList {}
                                 << QString();
    QTest::newRow("> without colon") << QStringList { QStringLiteral(">FATAL\r\n") }
                                     << QStringList { line(unrecognizedLine + QStringLiteral(">FATAL")) }
                                     << QStringList {} << QString();
    QTest::newRow("empty type") << QStringList { QStringLiteral(">:x\r\n") }
                                << QStringList { line(unrecognizedCommand + QStringLiteral(">:x")) } << QStringList {}
                                << QString();
    QTest::newRow("lower-case type") << QStringList { QStringLiteral(">state:1,CONNECTED,x\r\n") }
                                     << QStringList { line(
                                            unrecognizedCommand + QStringLiteral(">state:1,CONNECTED,x")) }
                                     << QStringList {} << QString();
    QTest::newRow("other notification type")
        << QStringList { QStringLiteral(">FATAL:Cannot open TUN/TAP dev /dev/net/tun: No such file\r\n") }
        << QStringList { line(
               unrecognizedCommand + QStringLiteral(">FATAL:Cannot open TUN/TAP dev /dev/net/tun: No such file")) }
        << QStringList {} << QString();
    QTest::newRow("SUCCESS answers and PROTECTFD")
        << QStringList { QStringLiteral("SUCCESS: real-time state notification set to ON\r\nSUCCESS: signal SIGINT "
                                        "thrown\r\nPROTECTFD: 5\r\n") }
        << QStringList {} << QStringList {} << QString();
    QTest::newRow("prefixes need their exact spelling")
        << QStringList { QStringLiteral("success: x\r\nPROTECTFD:5\r\n") }
        << QStringList { line(unrecognizedLine + QStringLiteral("success: x")),
               line(unrecognizedLine + QStringLiteral("PROTECTFD:5")) }
        << QStringList {} << QString();
    QTest::newRow("error answer") << QStringList { QStringLiteral(
        "ERROR: no username is currently needed at this time\r\n") }
                                  << QStringList { line(unrecognizedLine
                                         + QStringLiteral("ERROR: no username is currently needed at this time")) }
                                  << QStringList {} << QString();
    QTest::newRow("ignored notifications") << QStringList {
        QStringLiteral(">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n"
                       ">PASSWORD:Need 'Auth' username/password\r\n>HOLD:Waiting for hold release:0\r\n"
                       ">NEED-OK:Need 'token-insertion-request' confirmation MSG:x\r\n"
                       ">BYTECOUNT:3127,1854\r\n>PROXY:1,UDP,vpn.example\r\n>RSA_SIGN:abc=\r\n")
    } << QStringList {} << QStringList {} << QString();
    QTest::newRow("log payload as received")
        << QStringList { QStringLiteral(
               ">LOG:1700000000,I,Peer Connection Initiated with [AF_INET]198.51.100.7:1194\r\n") }
        << QStringList { line(
               QStringLiteral("1700000000,I,Peer Connection Initiated with [AF_INET]198.51.100.7:1194")) }
        << QStringList {} << QString();
    QTest::newRow("state with one comma") << QStringList { QStringLiteral(">STATE:1700000000,CONNECTED\r\n") }
                                          << QStringList {} << QStringList {} << QString();
    QTest::newRow("empty state name") << QStringList { QStringLiteral(">STATE:1,,SUCCESS\r\n") } << QStringList {}
                                      << QStringList { QString() } << QString();
    QTest::newRow("two commas are enough") << QStringList { QStringLiteral(">STATE:,EXITING,\r\n") } << QStringList {}
                                           << QStringList { QStringLiteral("EXITING") } << QString();
    QTest::newRow("reason is not read") << QStringList { QStringLiteral(">STATE:1,RECONNECTING,ping-restart,,,,,\r\n") }
                                        << QStringList {} << QStringList { QStringLiteral("RECONNECTING") }
                                        << QString();
    QTest::newRow("name kept as sent") << QStringList { QStringLiteral(">STATE:1, Connected ,x\r\n") } << QStringList {}
                                       << QStringList { QStringLiteral(" Connected ") } << QString();
}

void TestManagementParser::chunks()
{
    QFETCH(QStringList, chunks);
    QFETCH(QStringList, output);
    QFETCH(QStringList, states);
    QFETCH(QString, rest);

    OutputCapture captured;
    QStringList reported;
    const ManagementParser parser([&reported](const QString &name) { reported.append(name); });
    QString buffer;
    for (const QString &chunk : chunks)
        buffer = parser.processBuffer(buffer + chunk);

    QCOMPARE(captured.texts(), output);
    QCOMPARE(reported, states);
    QCOMPARE(buffer, rest);
}

void TestManagementParser::defaultSinkDrivesTheSharedState()
{
    OpenVPNService &service = OpenVPNService::shared();
    service.setState(QStringLiteral("CONNECTING"));
    StateObserver observer;

    const ManagementParser parser;
    // Openvpn repeats ASSIGN_IP while connected; the service's filter drops it.
    QCOMPARE(
        parser.processBuffer(QStringLiteral(">STATE:1,CONNECTED,SUCCESS,,\r\n>STATE:2,ASSIGN_IP,,\r\n")), QString());
    QCOMPARE(service.state(), QStringLiteral("CONNECTED"));
    QTRY_COMPARE(observer.notifications, 1);
    service.setState(QStringLiteral("NOPROCESS"));
}

void TestManagementParser::chunkThatIsNotUtf8IsDroppedWhole()
{
    OutputCapture captured;
    const ManagementParser parser([](const QString &) {});
    ManagementReceiveBuffer buffer(parser);

    buffer.receive(QByteArrayLiteral(">LOG:keep"));
    // Ends inside "ä" (C3 A4): the whole chunk goes, what was buffered stays.
    buffer.receive(QByteArrayLiteral("-lost\r\n>LOG:also lost \xc3"));
    QCOMPARE(buffer.pending(), QStringLiteral(">LOG:keep"));
    // The rest of that character alone is no valid chunk either.
    buffer.receive(QByteArrayLiteral("\xa4 lost\r\n"));
    buffer.receive(QByteArrayLiteral("-tail \xc3\xa4\r\n"));

    QCOMPARE(captured.texts(), QStringList { QStringLiteral("keep-tail ä\n") });
    QCOMPARE(buffer.pending(), QString());
}

void TestManagementParser::overlongLineIsDroppedOnce_data()
{
    QTest::addColumn<QByteArray>("flood");
    QTest::addColumn<bool>("dropped");

    // An answer line, so that a line kept whole is handled without writing a megabyte anywhere.
    const QByteArray prefix("SUCCESS:");
    const qsizetype limit = ManagementReceiveBuffer::maxPendingBytes;
    QTest::newRow("exactly the limit") << prefix + QByteArray(limit - prefix.size(), 'a') << false;
    QTest::newRow("one byte over") << prefix + QByteArray(limit - prefix.size() + 1, 'a') << true;
    // Counted in bytes, not characters.
    QTest::newRow("multi-byte over") << prefix + QByteArray("\xc3\xa9").repeated((limit - prefix.size()) / 2 + 1)
                                     << true;
}

void TestManagementParser::overlongLineIsDroppedOnce()
{
    QFETCH(QByteArray, flood);
    QFETCH(bool, dropped);

    OutputCapture captured;
    QStringList reported;
    const ManagementParser parser([&reported](const QString &name) { reported.append(name); });
    ManagementReceiveBuffer buffer(parser);

    // Fed like the reader does, 2048 bytes at a time (never splitting a character here).
    for (qsizetype at = 0; at < flood.size(); at += 2048)
        buffer.receive(flood.sliced(at, std::min<qsizetype>(2048, flood.size() - at)));
    buffer.receive(QByteArrayLiteral(",X,tail\r\n>STATE:2,WAIT,,\r\n"));

    // Dropped or kept, the tail of the long line is never taken for a line of its own.
    const QStringList texts = captured.texts();
    if (dropped) {
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts.first().startsWith(QStringLiteral("MGMT: Dropped ")), qPrintable(texts.first()));
        QCOMPARE(texts.first().count(u'\n'), 1);
        QVERIFY(texts.first().endsWith(u'\n'));
    } else {
        QCOMPARE(texts, QStringList());
    }
    QCOMPARE(reported, QStringList { QStringLiteral("WAIT") });
    QCOMPARE(buffer.pending(), QString());
}

QTEST_GUILESS_MAIN(TestManagementParser)
#include "tst_managementparser.moc"
