#include "helperlink/HelperWire.h"

#include <QTest>

using namespace quellnet;
using namespace Qt::StringLiterals;

namespace {

const QByteArray password32 = "0123456789abcdef0123456789abcdef";

QByteArray runRequest(const QByteArray &passwordMember)
{
    return "{\"id\":3,\"op\":\"runOpenVPN\",\"config\":\"/p.ovpn\",\"client_up\":\"/u\",\"client_down\":\"/d\""
        + passwordMember + "}";
}

} // namespace

class TestHelperWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A refused request still yields its id when it has a readable one, so it can be answered;
    // the error goes to the root helper's log and never repeats what the client sent.
    void refusedRequests_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<qint64>("id"); // -1: none readable
        const auto row = [](const char *name, const QByteArray &line, qint64 id) { QTest::newRow(name) << line << id; };
        row("not JSON", "getVersion", -1);
        row("id beyond 2^53-1", R"({"id":9007199254740992,"op":"getVersion"})", -1);
        row("unknown op", R"({"id":3,"op":"reboot"})", 3);
        row("over the length limit", "{\"id\":3,\"x\":\"" + QByteArray(HelperWire::maxLineLength, 'x') + "\"}", -1);
        row("extra member", R"({"id":3,"op":"killOpenVPN","signal":9})", 3);
        row("getRun asking for someone", R"({"id":3,"op":"getRun","owner":1000})", 3);
        row("NUL in a path",
            "{\"id\":3,\"op\":\"runOpenVPN\",\"config\":\"/a\\u0000/x\",\"client_up\":\"/b\",\"client_down\":\"/c\","
            "\"management_password\":\""
                + password32 + "\"}",
            3);
        // The password becomes the first line of the file openvpn reads it from.
        row("run without a management password", runRequest(""), 3);
        row("management password of 31 digits", runRequest(",\"management_password\":\"" + password32.chopped(1) + '"'),
            3);
        row("management password of 129 digits",
            runRequest(",\"management_password\":\"" + password32.repeated(4) + "0\""), 3);
        row("management password in capitals", runRequest(",\"management_password\":\"" + password32.toUpper() + '"'),
            3);
        row("management password with a line feed",
            runRequest(",\"management_password\":\"" + password32 + "\\nsignal SIGTERM\""), 3);
        row("management password as a number", runRequest(",\"management_password\":12345678901234567890"), 3);
    }
    void refusedRequests()
    {
        QFETCH(QByteArray, line);
        QFETCH(qint64, id);
        const HelperDecoded<HelperRequest> decoded = HelperWire::decodeRequest(line);
        QVERIFY(!decoded.message && !decoded.error.isEmpty());
        QCOMPARE(decoded.id ? qint64(*decoded.id) : qint64(-1), id);
        QVERIFY(!decoded.error.contains(u"reboot"_s) && !decoded.error.contains(u"signal"_s)
            && !decoded.error.contains(QString::fromLatin1(password32.left(8))));
    }

    // The shortest and the longest password pass; the line each request becomes reads back as the
    // same request.
    void requestsRoundTrip_data()
    {
        QTest::addColumn<HelperRequest>("request");
        QTest::newRow("getRun") << HelperRequest { 5, HelperRequest::Operation::GetRun, {}, {}, {}, {} };
        QTest::newRow("run, shortest password") << HelperRequest { 6, HelperRequest::Operation::RunOpenVPN,
            u"/run/user/1000/quellnet/quellnet.ovpn"_s, u"/u"_s, u"/d"_s, QString::fromLatin1(password32) };
        QTest::newRow("run, longest password") << HelperRequest { 7, HelperRequest::Operation::RunOpenVPN, u"/p"_s,
            u"/u"_s, u"/d"_s, QString::fromLatin1(password32.repeated(4)) };
    }
    void requestsRoundTrip()
    {
        QFETCH(HelperRequest, request);
        const HelperDecoded<HelperRequest> decoded = HelperWire::decodeRequest(HelperWire::encode(request));
        QVERIFY2(decoded.message, qPrintable(decoded.error));
        QVERIFY(*decoded.message == request);
    }

    // What a getRun reply may say, and what the client must not take from a helper (or from
    // whatever serves the helper's socket).
    void runReplies_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<qint64>("owner"); // -1: no run
        QTest::addColumn<QString>("password"); // null: none given
        const auto row = [](const char *name, const QByteArray &line, bool accepted, qint64 owner = -1,
                             const QByteArray &password = {}) {
            QTest::newRow(name) << line << accepted << owner
                                << (password.isNull() ? QString() : QString::fromLatin1(password));
        };
        row("no run", R"({"id":4,"run":null})", true);
        row("the caller's run", "{\"id\":4,\"run\":{\"owner\":1000,\"management_password\":\"" + password32 + "\"}}",
            true, 1000, password32);
        row("another user's run", R"({"id":4,"run":{"owner":4294967294}})", true, 4294967294);
        row("root's run", R"({"id":4,"run":{"owner":0}})", true, 0);
        row("owner (uid_t)-1", R"({"id":4,"run":{"owner":4294967295}})", false);
        row("negative owner", R"({"id":4,"run":{"owner":-1}})", false);
        row("fractional owner", R"({"id":4,"run":{"owner":1000.5}})", false);
        row("owner as text", R"({"id":4,"run":{"owner":"1000"}})", false);
        row("no owner", "{\"id\":4,\"run\":{\"management_password\":\"" + password32 + "\"}}", false);
        row("unusable password", R"({"id":4,"run":{"owner":1000,"management_password":"secret"}})", false);
        row("extra member in the run", R"({"id":4,"run":{"owner":1000,"pid":77}})", false);
        row("run as a list", R"({"id":4,"run":[1000]})", false);
        row("run beside a status", R"({"id":4,"run":null,"terminationStatus":0})", false);
    }
    void runReplies()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, accepted);
        QFETCH(qint64, owner);
        QFETCH(QString, password);
        const HelperDecoded<HelperReply> decoded = HelperWire::decodeReply(line);
        QCOMPARE(decoded.message.has_value(), accepted);
        if (!accepted)
            return;
        const HelperReply &reply = *decoded.message;
        QCOMPARE(reply.kind, HelperReply::Kind::Run);
        QCOMPARE(reply.run ? qint64(reply.run->owner) : qint64(-1), owner);
        QCOMPARE(reply.run ? reply.run->managementPassword.value_or(QString()) : QString(), password);
        QCOMPARE(HelperWire::encode(reply), line + '\n');
    }
};

QTEST_APPLESS_MAIN(TestHelperWire)
#include "tst_helperwire.moc"
