// The management parser behind the reader's receive buffer, fed as the reader feeds it.
#include "engine/ManagementParser.h"
#include "engine/ManagementReceiveBuffer.h"
#include "tests/support/OutputCapture.h"

#include <QTest>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

using Reads = QList<QByteArray>;

namespace {

// Writes down what the parser reports besides the state names, one line each.
class ReportLog : public ManagementObserver
{
public:
    QStringList entries;

    void stateReported(const StateReport &report) override
    {
        entries << QStringList { u"state"_s, report.time, report.name, report.description, report.tunnelAddress,
            report.remoteAddress, report.remotePort, report.localAddress, report.localPort, report.tunnelAddress6 }
                       .join(u'|');
    }
    void byteCountReported(std::uint64_t received, std::uint64_t sent) override
    {
        entries << u"bytes|%1|%2"_s.arg(received).arg(sent);
    }
    void verificationFailed() override { entries << u"verification failed"_s; }
    void fatalReported(const QString &message) override { entries << u"fatal|"_s + message; }
};

} // namespace

class TestManagementParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reads_data()
    {
        QTest::addColumn<Reads>("reads");
        QTest::addColumn<QStringList>("output");
        QTest::addColumn<QStringList>("states");
        QTest::addColumn<QString>("rest");
        const auto unknownLine
            = [](const QString &line) { return "MGMT: Got unrecognized line from managment"_L1 + line + u'\n'; };
        const auto unknownCommand
            = [](const QString &line) { return "MGMT: Got unrecognized command"_L1 + line + u'\n'; };
        const auto dropped = [](qsizetype bytes) {
            return u"MGMT: Dropped %1 bytes of management output without a line feed\n"_s.arg(bytes);
        };

        QTest::newRow("two lines and the start of a third")
            << Reads { ">STATE:1,WAIT,,,,,,\r\n>STATE:2,AUTH,,,,,,\r\n>STA" } << QStringList {}
            << QStringList { u"WAIT"_s, u"AUTH"_s } << u">STA"_s;
        QTest::newRow("line and CR LF split across reads")
            << Reads { ">STATE:1,CONN", "ECTED,SUCCESS,,\r", "\n>LOG:x\r" } << QStringList {}
            << QStringList { u"CONNECTED"_s } << u">LOG:x\r"_s;
        QTest::newRow("bare LF takes the whole buffer")
            << Reads { "abc\ndef" } << QStringList { unknownLine(u"abc\ndef"_s) } << QStringList {} << QString();
        QTest::newRow("bare LF before a CR LF")
            << Reads { "a\nb\r\nc" } << QStringList { unknownLine(u"a\nb"_s) } << QStringList {} << u"c"_s;
        QTest::newRow("unknown notification")
            << Reads { ">state:1,CONNECTED,x\r\n" } << QStringList { unknownCommand(u">state:1,CONNECTED,x"_s) }
            << QStringList {} << QString();
        QTest::newRow("answers and notifications dropped")
            << Reads { "SUCCESS: x\r\nPROTECTFD: 5\r\n>INFO:x\r\n>PASSWORD:Need 'Auth' username/password\r\n>HOLD:x\r\n"
                       ">NEED-OK:x\r\n>BYTECOUNT:3127,1854\r\n>PROXY:1,UDP,vpn.example\r\n>RSA_SIGN:abc=\r\n" }
            << QStringList {} << QStringList {} << QString();
        QTest::newRow("state needs two commas") << Reads { ">STATE:1700000000,CONNECTED\r\n>STATE:,EXITING,\r\n" }
                                                << QStringList {} << QStringList { u"EXITING"_s } << QString();
        // A read that ends inside "ä" (C3 A4) goes whole, and the rest of that character alone is no
        // valid read either; what was buffered before stays.
        QTest::newRow("read that is not UTF-8 is dropped whole")
            << Reads { ">LOG:keep", "-lost\r\n>STATE:1,EXITING,,\r\n\xc3", "\xa4 lost\r\n", "-tail \xc3\xa4\r\n" }
            << QStringList { u"keep-tail ä\n"_s } << QStringList {} << QString();
        // Dropped or kept, the tail of an over-long line is never taken for a line of its own.
        const QByteArray prefix("SUCCESS:");
        const qsizetype limit = ManagementReceiveBuffer::maxPendingBytes;
        const QByteArray tail(",X,tail\r\n>STATE:2,WAIT,,\r\n");
        QTest::newRow("line of exactly the limit") << Reads { prefix + QByteArray(limit - prefix.size(), 'a'), tail }
                                                   << QStringList {} << QStringList { u"WAIT"_s } << QString();
        QTest::newRow("line one byte over")
            << Reads { prefix + QByteArray(limit - prefix.size() + 1, 'a'), tail } << QStringList { dropped(limit + 1) }
            << QStringList { u"WAIT"_s } << QString();
        QTest::newRow("multi-byte line over, counted in bytes")
            << Reads { prefix + QByteArray("\xc3\xa9").repeated((limit - prefix.size()) / 2 + 1), tail }
            << QStringList { dropped(limit + 2) } << QStringList { u"WAIT"_s } << QString();
    }

    void reads()
    {
        QFETCH(Reads, reads);
        QFETCH(QStringList, output);
        QFETCH(QStringList, states);
        QFETCH(QString, rest);
        OutputCapture captured;
        QStringList reported;
        const ManagementParser parser([&reported](const QString &name) { reported.append(name); });
        ManagementReceiveBuffer buffer(parser);
        for (const QByteArray &read : reads) // at most 2048 bytes a read, as the reader takes them
            for (qsizetype at = 0; at < read.size(); at += 2048)
                buffer.receive(read.sliced(at, std::min<qsizetype>(2048, read.size() - at)));
        QCOMPARE(captured.standardOutput(), output);
        QCOMPARE(reported, states);
        QCOMPARE(buffer.pending(), rest);
    }

    // What openvpn 2.6 writes (as it wrote it here) reaches the observer field by field; state
    // names, standard output and the CONNECTED rules are as before.
    void reports_data()
    {
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<QStringList>("output");
        QTest::newRow("every field, IPv6 in the tunnel")
            << QByteArray(">STATE:1,CONNECTED,SUCCESS,10.8.0.2,198.51.100.7,1194,192.0.2.5,50123,fd00::1000\r\n")
            << QStringList { u"state|1|CONNECTED|SUCCESS|10.8.0.2|198.51.100.7|1194|192.0.2.5|50123|fd00::1000"_s }
            << QStringList {};
        QTest::newRow("a report without its address fields")
            << QByteArray(">STATE:1,EXITING,auth-failure\r\n")
            << QStringList { u"state|1|EXITING|auth-failure||||||"_s } << QStringList {};
        QTest::newRow("byte counts") << QByteArray(">BYTECOUNT:2055,1085\r\n>BYTECOUNT:0,18446744073709551615\r\n")
                                     << QStringList { u"bytes|2055|1085"_s, u"bytes|0|18446744073709551615"_s }
                                     << QStringList {};
        // Not two counts: dropped without a word, as byte counts always were.
        QTest::newRow("byte counts that are not")
            << QByteArray(">BYTECOUNT:2055\r\n>BYTECOUNT:-1,5\r\n>BYTECOUNT:1,2,3\r\n>BYTECOUNT: 1,2\r\n"
                          ">BYTECOUNT:18446744073709551616,1\r\n>BYTECOUNT:,\r\n>BYTECOUNT_CLI:3,1,2\r\n")
            << QStringList {} << QStringList { u"MGMT: Got unrecognized command>BYTECOUNT_CLI:3,1,2\n"_s };
        QTest::newRow("password refused")
            << QByteArray(">PASSWORD:Need 'Auth' username/password\r\n>PASSWORD:Verification Failed: 'Auth'\r\n"
                          ">PASSWORD:Verification Failed: 'Auth' ['expired']\r\n")
            << QStringList { u"verification failed"_s, u"verification failed"_s } << QStringList {};
        QTest::newRow("fatal error, still unrecognised on standard output")
            << QByteArray(">FATAL:ERROR: Cannot open TUN/TAP dev /nonexistent: No such file or directory (errno=2)\r\n")
            << QStringList { u"fatal|ERROR: Cannot open TUN/TAP dev /nonexistent: No such file or directory (errno=2)"_s }
            << QStringList { u"MGMT: Got unrecognized command>FATAL:ERROR: Cannot open TUN/TAP dev /nonexistent: No "
                             "such file or directory (errno=2)\n"_s };
    }
    void reports()
    {
        QFETCH(QByteArray, lines);
        QFETCH(QStringList, reports);
        QFETCH(QStringList, output);
        OutputCapture captured;
        ReportLog log;
        const ManagementParser parser([](const QString &) { }, &log);
        ManagementReceiveBuffer buffer(parser);
        buffer.receive(lines);
        QCOMPARE(log.entries, reports);
        QCOMPARE(captured.standardOutput(), output);
    }
};

QTEST_GUILESS_MAIN(TestManagementParser)
#include "tst_managementparser.moc"
