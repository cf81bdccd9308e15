#include "HelperWire.h"

#include <QTest>

using namespace quellnet;

Q_DECLARE_METATYPE(HelperRequest)
Q_DECLARE_METATYPE(HelperReply)

namespace {

HelperRequest request(std::uint64_t id, HelperRequest::Operation operation, const QString &config = {},
    const QString &up = {}, const QString &down = {})
{
    return HelperRequest { id, operation, config, up, down };
}

HelperReply reply(std::uint64_t id, HelperReply::Kind kind, const QString &text, std::int32_t status = 0)
{
    return HelperReply { id, kind, text, status };
}

// Valid lines the totality test mutates.
const QByteArray sampleRequest
    = R"({"id":42,"op":"runOpenVPN","config":"/tmp/q.ovpn","client_up":"/u","client_down":"/d"})";
const QByteArray sampleReply = R"({"id":42,"terminationStatus":-15})";

} // namespace

class TestHelperWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Every message is one exact line, and that line reads back as the same message.
    void requestLines_data()
    {
        QTest::addColumn<HelperRequest>("message");
        QTest::addColumn<QByteArray>("line");
        using Op = HelperRequest::Operation;
        QTest::newRow("getVersion") << request(0, Op::GetVersion)
                                    << QByteArray(R"({"id":0,"op":"getVersion"})"
                                                  "\n");
        QTest::newRow("killOpenVPN, largest id") << request(HelperWire::maxId, Op::KillOpenVPN)
                                                 << QByteArray(R"({"id":9007199254740991,"op":"killOpenVPN"})"
                                                               "\n");
        QTest::newRow("runOpenVPN")
            << request(7, Op::RunOpenVPN, QStringLiteral("/tmp/quellnet.ovpn"), QStringLiteral("/a/client.up"),
                   QStringLiteral("/a/client.down"))
            << QByteArray(R"({"id":7,"op":"runOpenVPN","config":"/tmp/quellnet.ovpn","client_up":"/a/client.up",)"
                          R"("client_down":"/a/client.down"})"
                          "\n");
        QTest::newRow("paths with quotes, backslashes, line feeds and umlauts")
            << request(8, Op::RunOpenVPN, QStringLiteral("/Quell Net/\"q\".ovpn"), QStringLiteral("C:\\up\nx"),
                   QStringLiteral("/Zürich"))
            << QByteArray("{\"id\":8,\"op\":\"runOpenVPN\",\"config\":\"/Quell "
                          "Net/\\\"q\\\".ovpn\",\"client_up\":\"C:\\\\up\\nx\","
                          "\"client_down\":\"/Z\xc3\xbcrich\"}\n");
    }
    void requestLines()
    {
        QFETCH(HelperRequest, message);
        QFETCH(QByteArray, line);
        QCOMPARE(HelperWire::encode(message), line);
        const HelperDecoded<HelperRequest> decoded = HelperWire::decodeRequest(line);
        QVERIFY2(decoded.message, qPrintable(decoded.error));
        QCOMPARE(*decoded.message, message);
    }

    void replyLines_data()
    {
        QTest::addColumn<HelperReply>("message");
        QTest::addColumn<QByteArray>("line");
        using Kind = HelperReply::Kind;
        QTest::newRow("version") << reply(1, Kind::Version, QStringLiteral("1.0.0"))
                                 << QByteArray(R"({"id":1,"version":"1.0.0"})"
                                               "\n");
        QTest::newRow("version with a trailing blank") << reply(1, Kind::Version, QStringLiteral("1.0.0 "))
                                                       << QByteArray(R"({"id":1,"version":"1.0.0 "})"
                                                                     "\n");
        QTest::newRow("status 0") << reply(2, Kind::TerminationStatus, {}, 0)
                                  << QByteArray(R"({"id":2,"terminationStatus":0})"
                                                "\n");
        QTest::newRow("smallest status") << reply(3, Kind::TerminationStatus, {}, INT32_MIN)
                                         << QByteArray(R"({"id":3,"terminationStatus":-2147483648})"
                                                       "\n");
        QTest::newRow("largest status") << reply(3, Kind::TerminationStatus, {}, INT32_MAX)
                                        << QByteArray(R"({"id":3,"terminationStatus":2147483647})"
                                                      "\n");
        QTest::newRow("error") << reply(4, Kind::Error, QStringLiteral("no \"such\" thing"))
                               << QByteArray("{\"id\":4,\"error\":\"no \\\"such\\\" thing\"}"
                                             "\n");
    }
    void replyLines()
    {
        QFETCH(HelperReply, message);
        QFETCH(QByteArray, line);
        QCOMPARE(HelperWire::encode(message), line);
        const HelperDecoded<HelperReply> decoded = HelperWire::decodeReply(line);
        QVERIFY2(decoded.message, qPrintable(decoded.error));
        QCOMPARE(*decoded.message, message);
    }

    // A refused request still yields its id when it has a readable one, so it can be answered.
    void refusedRequests_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<qint64>("id"); // -1: none readable

        QTest::newRow("empty") << QByteArray() << qint64(-1);
        QTest::newRow("blank") << QByteArray(" \t\r\n") << qint64(-1);
        QTest::newRow("not JSON") << QByteArray("getVersion") << qint64(-1);
        QTest::newRow("array") << QByteArray("[1]") << qint64(-1);
        QTest::newRow("string") << QByteArray(R"("getVersion")") << qint64(-1);
        QTest::newRow("trailing garbage") << QByteArray(R"({"id":1,"op":"getVersion"} x)") << qint64(-1);
        QTest::newRow("two objects") << QByteArray(R"({"id":1,"op":"getVersion"}{"id":2,"op":"getVersion"})")
                                     << qint64(-1);
        QTest::newRow("broken UTF-8") << QByteArray("{\"id\":1,\"op\":\"get\xff\"}") << qint64(-1);
        QTest::newRow("no id") << QByteArray(R"({"op":"getVersion"})") << qint64(-1);
        QTest::newRow("negative id") << QByteArray(R"({"id":-1,"op":"getVersion"})") << qint64(-1);
        QTest::newRow("fractional id") << QByteArray(R"({"id":1.5,"op":"getVersion"})") << qint64(-1);
        QTest::newRow("id as text") << QByteArray(R"({"id":"1","op":"getVersion"})") << qint64(-1);
        QTest::newRow("id beyond 2^53-1") << QByteArray(R"({"id":9007199254740992,"op":"getVersion"})") << qint64(-1);
        QTest::newRow("no op") << QByteArray(R"({"id":3})") << qint64(3);
        QTest::newRow("unknown op") << QByteArray(R"({"id":3,"op":"reboot"})") << qint64(3);
        QTest::newRow("op not text") << QByteArray(R"({"id":3,"op":1})") << qint64(3);
        QTest::newRow("extra member") << QByteArray(R"({"id":3,"op":"killOpenVPN","signal":9})") << qint64(3);
        QTest::newRow("run without client_down")
            << QByteArray(R"({"id":3,"op":"runOpenVPN","config":"/a","client_up":"/b"})") << qint64(3);
        QTest::newRow("run with empty config")
            << QByteArray(R"({"id":3,"op":"runOpenVPN","config":"","client_up":"/b","client_down":"/c"})") << qint64(3);
        QTest::newRow("config not text") << QByteArray(
            R"({"id":3,"op":"runOpenVPN","config":5,"client_up":"/b","client_down":"/c"})")
                                         << qint64(3);
        QTest::newRow("NUL in a path") << QByteArray("{\"id\":3,\"op\":\"runOpenVPN\",\"config\":\"/a\\u0000/etc/"
                                                     "shadow\",\"client_up\":\"/b\",\"client_down\":\"/c\"}")
                                       << qint64(3);
        QTest::newRow("lone surrogate in a path") << QByteArray(
            "{\"id\":3,\"op\":\"runOpenVPN\",\"config\":\"/a\",\"client_up\":\"/b\\ud800\",\"client_down\":\"/c\"}")
                                                  << qint64(3);
    }
    void refusedRequests()
    {
        QFETCH(QByteArray, line);
        QFETCH(qint64, id);
        const HelperDecoded<HelperRequest> decoded = HelperWire::decodeRequest(line);
        QVERIFY(!decoded.message);
        QVERIFY(!decoded.error.isEmpty());
        QCOMPARE(decoded.id.has_value() ? qint64(*decoded.id) : qint64(-1), id);
        // The error goes to the helper's log: it never repeats what the client sent.
        QVERIFY(!decoded.error.contains(QLatin1String("reboot")));
        QVERIFY(!decoded.error.contains(QLatin1String("signal")));
    }

    void refusedReplies_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("not JSON") << QByteArray("1.0.0");
        QTest::newRow("no id") << QByteArray(R"({"version":"1.0.0"})");
        QTest::newRow("no answer") << QByteArray(R"({"id":1})");
        QTest::newRow("two answers") << QByteArray(R"({"id":1,"version":"1.0.0","error":"x"})");
        QTest::newRow("unknown answer") << QByteArray(R"({"id":1,"status":0})");
        QTest::newRow("version not text") << QByteArray(R"({"id":1,"version":1})");
        QTest::newRow("status as text") << QByteArray(R"({"id":1,"terminationStatus":"0"})");
        QTest::newRow("fractional status") << QByteArray(R"({"id":1,"terminationStatus":0.5})");
        QTest::newRow("status beyond 32 bits") << QByteArray(R"({"id":1,"terminationStatus":2147483648})");
        QTest::newRow("error not text") << QByteArray(R"({"id":1,"error":null})");
    }
    void refusedReplies()
    {
        QFETCH(QByteArray, line);
        const HelperDecoded<HelperReply> decoded = HelperWire::decodeReply(line);
        QVERIFY(!decoded.message);
        QVERIFY(!decoded.error.isEmpty());
    }

    void lineLengthLimit()
    {
        // A request whose line, without its line feed, is exactly the limit long is read; one byte
        // more is refused, whatever it says.
        HelperRequest run = request(
            1, HelperRequest::Operation::RunOpenVPN, QStringLiteral("/"), QStringLiteral("/u"), QStringLiteral("/d"));
        const qsizetype overhead = HelperWire::encode(run).size() - 1;
        run.config += QString(HelperWire::maxLineLength - overhead, QLatin1Char('x'));
        const QByteArray longest = HelperWire::encode(run);
        QCOMPARE(longest.size() - 1, HelperWire::maxLineLength);
        QVERIFY(HelperWire::decodeRequest(longest).message);

        run.config += QLatin1Char('x');
        const HelperDecoded<HelperRequest> tooLong = HelperWire::decodeRequest(HelperWire::encode(run));
        QVERIFY(!tooLong.message);
        QVERIFY(!tooLong.id);
    }

    // Whatever bytes arrive, the decoders answer; what they accept survives a round trip.
    void decodingIsTotal()
    {
        const char replacements[] = { '"', '}', '{', '\\', '\0', '\xff', '\n', ':', ',', '9', '-' };
        for (const QByteArray &valid : { sampleRequest, sampleReply }) {
            QList<QByteArray> variants;
            for (qsizetype i = 0; i <= valid.size(); ++i)
                variants.append(valid.left(i));
            for (qsizetype i = 0; i < valid.size(); ++i) {
                for (char c : replacements) {
                    QByteArray mutated = valid;
                    mutated[i] = c;
                    variants.append(mutated);
                    variants.append(valid.left(i) + c + valid.mid(i));
                }
            }
            for (const QByteArray &line : std::as_const(variants)) {
                const auto request = HelperWire::decodeRequest(line);
                QVERIFY(request.message.has_value() != !request.error.isEmpty());
                if (request.message)
                    QCOMPARE(HelperWire::decodeRequest(HelperWire::encode(*request.message)).message, request.message);
                const auto reply = HelperWire::decodeReply(line);
                QVERIFY(reply.message.has_value() != !reply.error.isEmpty());
                if (reply.message)
                    QCOMPARE(HelperWire::decodeReply(HelperWire::encode(*reply.message)).message, reply.message);
            }
        }
    }
};

QTEST_APPLESS_MAIN(TestHelperWire)
#include "tst_helperwire.moc"
