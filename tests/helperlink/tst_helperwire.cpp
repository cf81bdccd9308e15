#include "HelperWire.h"

#include <QTest>

using namespace quellnet;
using namespace Qt::StringLiterals;
using Op = HelperRequest::Operation;
using Kind = HelperReply::Kind;

class TestHelperWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Every message is one line that reads back as the same message, whatever its paths hold.
    void messagesAreLines()
    {
        const QList<HelperRequest> requests { { 0, Op::GetVersion, {}, {}, {} },
            { HelperWire::maxId, Op::KillOpenVPN, {}, {}, {} },
            { 8, Op::RunOpenVPN, u"/Quell Net/\"q\".ovpn"_s, u"C:\\up\nx"_s, u"/Zürich"_s } };
        for (const HelperRequest &request : requests) {
            const QByteArray line = HelperWire::encode(request);
            QVERIFY(line.endsWith('\n') && line.count('\n') == 1);
            QCOMPARE(HelperWire::decodeRequest(line).message, request);
        }
        const QList<HelperReply> replies { { 1, Kind::Version, u"1.0.0 "_s, 0 },
            { 3, Kind::TerminationStatus, {}, INT32_MIN }, { 3, Kind::TerminationStatus, {}, INT32_MAX },
            { 4, Kind::Error, u"no \"such\"\nthing"_s, 0 } };
        for (const HelperReply &reply : replies) {
            const QByteArray line = HelperWire::encode(reply);
            QVERIFY(line.endsWith('\n') && line.count('\n') == 1);
            QCOMPARE(HelperWire::decodeReply(line).message, reply);
        }
        // The names the other side reads.
        QVERIFY(
            HelperWire::encode(requests.last())
                .startsWith("{\"id\":8,\"op\":\"runOpenVPN\",\"config\":\"/Quell Net/\\\"q\\\".ovpn\",\"client_up\":"));
    }

    // A refused request still yields its id when it has a readable one, so it can be answered.
    void refusedRequests_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<qint64>("id"); // -1: none readable
        const auto row
            = [](const char *name, const QByteArray &line, qint64 id = -1) { QTest::newRow(name) << line << id; };
        row("not JSON", "getVersion");
        row("not an object", "[1]");
        row("two objects", R"({"id":1,"op":"getVersion"}{"id":2,"op":"getVersion"})");
        row("broken UTF-8", "{\"id\":1,\"op\":\"get\xff\"}");
        row("no id", R"({"op":"getVersion"})");
        row("negative id", R"({"id":-1,"op":"getVersion"})");
        row("id beyond 2^53-1", R"({"id":9007199254740992,"op":"getVersion"})");
        row("no op", R"({"id":3})", 3);
        row("unknown op", R"({"id":3,"op":"reboot"})", 3);
        row("extra member", R"({"id":3,"op":"killOpenVPN","signal":9})", 3);
        row("run without client_down", R"({"id":3,"op":"runOpenVPN","config":"/a","client_up":"/b"})", 3);
        row("empty config", R"({"id":3,"op":"runOpenVPN","config":"","client_up":"/b","client_down":"/c"})", 3);
        row("NUL in a path", R"({"id":3,"op":"runOpenVPN","config":"/a\u0000/x","client_up":"/b","client_down":"/c"})",
            3);
        row("lone surrogate", R"({"id":3,"op":"runOpenVPN","config":"/a","client_up":"/\ud800","client_down":"/c"})",
            3);
    }
    void refusedRequests()
    {
        QFETCH(QByteArray, line);
        QFETCH(qint64, id);
        const HelperDecoded<HelperRequest> decoded = HelperWire::decodeRequest(line);
        QVERIFY(!decoded.message && !decoded.error.isEmpty());
        QCOMPARE(decoded.id ? qint64(*decoded.id) : qint64(-1), id);
        // The error goes to the helper's log: it never repeats what the client sent.
        QVERIFY(!decoded.error.contains(u"reboot"_s) && !decoded.error.contains(u"signal"_s));
    }

    void refusedReplies_data()
    {
        QTest::addColumn<QByteArray>("line");
        for (const char *line :
            { "1.0.0", R"({"version":"1.0.0"})", R"({"id":1})", R"({"id":1,"version":"1","error":"x"})",
                R"({"id":1,"status":0})", R"({"id":1,"version":1})", R"({"id":1,"terminationStatus":"0"})",
                R"({"id":1,"terminationStatus":0.5})", R"({"id":1,"terminationStatus":2147483648})" })
            QTest::newRow(line) << QByteArray(line);
    }
    void refusedReplies()
    {
        QFETCH(QByteArray, line);
        const HelperDecoded<HelperReply> decoded = HelperWire::decodeReply(line);
        QVERIFY(!decoded.message && !decoded.error.isEmpty());
    }

    // A request whose line, without its line feed, is exactly the limit long is read; one byte
    // more is refused, whatever it says.
    void lineLengthLimit()
    {
        HelperRequest run { 1, Op::RunOpenVPN, u"/"_s, u"/u"_s, u"/d"_s };
        run.config += QString(HelperWire::maxLineLength - (HelperWire::encode(run).size() - 1), u'x');
        QCOMPARE(HelperWire::encode(run).size() - 1, HelperWire::maxLineLength);
        QVERIFY(HelperWire::decodeRequest(HelperWire::encode(run)).message);
        run.config += u'x';
        const HelperDecoded<HelperRequest> tooLong = HelperWire::decodeRequest(HelperWire::encode(run));
        QVERIFY(!tooLong.message && !tooLong.id);
    }

    // Whatever bytes arrive, the decoders answer; what they accept survives a round trip. Each
    // valid line is cut short, and has a byte put in or replaced, at every place.
    void decodingIsTotal()
    {
        const auto answered = [](const QByteArray &line) {
            const auto request = HelperWire::decodeRequest(line);
            const auto reply = HelperWire::decodeReply(line);
            return request.message.has_value() == request.error.isEmpty()
                && reply.message.has_value() == reply.error.isEmpty()
                && (!request.message
                    || HelperWire::decodeRequest(HelperWire::encode(*request.message)).message == request.message)
                && (!reply.message
                    || HelperWire::decodeReply(HelperWire::encode(*reply.message)).message == reply.message);
        };
        for (const QByteArray valid :
            { R"({"id":42,"op":"runOpenVPN","config":"/q","client_up":"/u","client_down":"/d"})",
                R"({"id":42,"terminationStatus":-15})" }) {
            for (qsizetype i = 0; i <= valid.size(); ++i) {
                QVERIFY2(answered(valid.left(i)), valid.left(i).constData());
                for (char c : QByteArray("\"}{\\\0\xff\n:,9-", 11)) {
                    QVERIFY(answered(valid.left(i) + c + valid.mid(i)));
                    QVERIFY(answered(valid.left(i) + c + valid.mid(i + 1)));
                }
            }
        }
    }
};

QTEST_APPLESS_MAIN(TestHelperWire)
#include "tst_helperwire.moc"
