// The helper link: its wire format, and the client's connection over a real Unix socket to a helper
// stand-in that speaks it.
#include "helperlink/LocalHelperConnection.h"
#include "tests/support/HelperSocketStandIn.h"
#include "tests/support/TestTools.h"

#include <QTest>
#include <QThread>

#include <mutex>
#include <vector>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

const QByteArray password32 = "0123456789abcdef0123456789abcdef";

QByteArray runRequest(const QByteArray &passwordMember)
{
    return "{\"id\":3,\"op\":\"runOpenVPN\",\"config\":\"/p.ovpn\",\"client_up\":\"/u\",\"client_down\":\"/d\""
        + passwordMember + "}";
}

// What the handlers got, in order, and whether on the test's thread.
class Recorder : public std::enable_shared_from_this<Recorder>
{
public:
    void add(const QString &event)
    {
        std::lock_guard lock(m_mutex);
        m_events << event;
        onTestThread = onTestThread || QThread::currentThread() == m_testThread;
    }
    QStringList events() const
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    std::atomic_bool onTestThread = false;

    // A handler of any kind that notes `what` and what it got.
    auto note(const QString &what)
    {
        return
            [self = shared_from_this(), what](const auto &...got) { self->add(what + (text(got) + ... + QString())); };
    }
    static QString text(const HelperError &error) { return u" "_s + error.description; }
    static QString text(const QString &version) { return u" "_s + version; }
    static QString text(std::int32_t status) { return u" %1"_s.arg(status); }
    static QString text(const std::optional<HelperRun> &run)
    {
        return !run ? u" none"_s : u" uid %1 %2"_s.arg(run->owner).arg(run->managementPassword.value_or(u"-"_s));
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_events;
    QThread *const m_testThread = QThread::currentThread();
};

} // namespace

class TestHelperConnection : public QObject
{
    Q_OBJECT

    HelperSocketStandIn m_helper;
    std::shared_ptr<Recorder> m_recorder;

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
        row("NUL in a path",
            "{\"id\":3,\"op\":\"runOpenVPN\",\"config\":\"/a\\u0000/x\",\"client_up\":\"/b\",\"client_down\":\"/c\","
            "\"management_password\":\""
                + password32 + "\"}",
            3);
        // The password becomes the first line of the file openvpn reads it from.
        row("run without a management password", runRequest(""), 3);
        row("management password of 31 digits", runRequest(",\"management_password\":\"" + password32.chopped(1) + '"'),
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
        row("owner (uid_t)-1", R"({"id":4,"run":{"owner":4294967295}})", false);
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

    void init() { m_recorder = std::make_shared<Recorder>(); }

    // However the helper fails, the waiting request fails once, then invalidation runs once;
    // later messages fail at once. A request that was answered (the kill) gets no error.
    void helperFailures_data()
    {
        // to the run request (%1: its id); null: the helper goes
        addRows<QByteArray>("answer",
            { { "helper goes away", QByteArray() }, { "garbage from the helper", "Segmentation fault\n" },
                { "version reply to a run request", "{\"id\":%1,\"version\":\"1.0.0\"}\n" } });
    }
    void helperFailures()
    {
        QFETCH(QByteArray, answer);
        LocalHelperConnection connection(m_helper.socketPath());
        connection.setInvalidationHandler(m_recorder->note(u"invalidated"_s));
        const auto proxy = connection.remoteObjectProxyWithErrorHandler(m_recorder->note(u"error"_s));
        const QString secret = QString::fromLatin1(password32.repeated(4)); // the longest the wire takes
        proxy->runOpenVPNWithConfig(
            u"/run/user/1000/quellnet/quellnet.ovpn"_s, u"/u"_s, u"/d"_s, secret, m_recorder->note(u"termination"_s));
        proxy->killOpenVPN();
        connection.resume();
        QLocalSocket *client = m_helper.acceptClient();
        const auto run = client ? HelperSocketStandIn::readRequest(client) : std::nullopt;
        QVERIFY(run && HelperSocketStandIn::readRequest(client));
        QCOMPARE(run->managementPassword, secret);
        if (answer.isNull())
            client->disconnectFromServer();
        else
            QVERIFY(HelperSocketStandIn::send(client, answer.replace("%1", QByteArray::number(run->id))));
        QTRY_COMPARE(m_recorder->events().count(u"invalidated"_s), 1);
        QVERIFY(m_recorder->events().size() == 2 && m_recorder->events().last() == u"invalidated"_s);
        QCOMPARE(m_recorder->events()
                     .filter(u"error The connection to service named " QUELLNET_HELPER_ID " was invalidated"_s)
                     .size(),
            1);
        proxy->getVersionWithResponseHandler(m_recorder->note(u"version"_s));
        QTRY_COMPARE(m_recorder->events().filter(u"error "_s).size(), 2);
        QTest::qWait(50);
        QCOMPARE(m_recorder->events().size(), 3);
        QVERIFY(!m_recorder->onTestThread);
    }

    // Each answer reaches the request with its id, whatever the order; an error answers any
    // request, and only its error handler runs.
    void answersFindTheirRequests()
    {
        LocalHelperConnection connection(m_helper.socketPath());
        connection.resume();
        QLocalSocket *client = m_helper.acceptClient();
        QVERIFY(client);
        const auto proxy = [this](const QString &name) { return m_recorder->note(name); };
        connection.remoteObjectProxyWithErrorHandler(proxy(u"error A"_s))
            ->getVersionWithResponseHandler(m_recorder->note(u"version A"_s));
        connection.remoteObjectProxyWithErrorHandler(proxy(u"error B"_s))
            ->runOpenVPNWithConfig(
                u"/c"_s, u"/u"_s, u"/d"_s, u"0123456789abcdef0123456789abcdef"_s, m_recorder->note(u"termination B"_s));
        connection.remoteObjectProxyWithErrorHandler(proxy(u"error C"_s))
            ->getVersionWithResponseHandler(m_recorder->note(u"version C"_s));
        connection.remoteObjectProxyWithErrorHandler(proxy(u"error D"_s))
            ->getRunWithResponseHandler(m_recorder->note(u"run D"_s));
        connection.remoteObjectProxyWithErrorHandler(proxy(u"error E"_s))
            ->getRunWithResponseHandler(m_recorder->note(u"run E"_s));
        std::vector<HelperRequest> requests;
        while (requests.size() < 5) {
            const auto request = HelperSocketStandIn::readRequest(client);
            QVERIFY(request);
            requests.push_back(*request);
        }
        QCOMPARE(requests[3].operation, HelperRequest::Operation::GetRun);
        using Kind = HelperReply::Kind;
        const QString secret = u"00112233445566778899aabbccddeeff"_s;
        for (const HelperReply &reply : { HelperReply { requests[4].id, Kind::Run, {}, 0, HelperRun { 1001, {} } },
                 HelperReply { requests[2].id, Kind::Error, u"busy"_s, 0, {} },
                 HelperReply { requests[1].id, Kind::TerminationStatus, {}, 7, {} },
                 HelperReply { requests[3].id, Kind::Run, {}, 0, HelperRun { 1000, secret } },
                 HelperReply { requests[0].id, Kind::Version, u"1.0.0"_s, 0, {} } })
            QVERIFY(HelperSocketStandIn::send(client, HelperWire::encode(reply)));
        QTRY_COMPARE(m_recorder->events(),
            (QStringList { u"run E uid 1001 -"_s, u"error C busy"_s, u"termination B 7"_s,
                u"run D uid 1000 "_s + secret, u"version A 1.0.0"_s }));
        QVERIFY(!m_recorder->onTestThread);
    }

    // However the connection ends before its helper answers, each message fails once, off the
    // sender's thread; only an invalidation runs the invalidation handler, and a connection that
    // ends before it was resumed never reaches the helper.
    void endingWithoutAnswers_data()
    {
        QTest::addColumn<bool>("resumed");
        QTest::addColumn<bool>("released"); // or invalidated
        QTest::newRow("invalidated before resume") << false << false;
        QTest::newRow("released before resume") << false << true;
        QTest::newRow("invalidated while waiting") << true << false;
        QTest::newRow("released while waiting") << true << true;
    }
    void endingWithoutAnswers()
    {
        QFETCH(bool, resumed);
        QFETCH(bool, released);
        auto connection = std::make_unique<LocalHelperConnection>(m_helper.socketPath());
        connection->setInvalidationHandler(m_recorder->note(u"invalidated"_s));
        const auto proxy = connection->remoteObjectProxyWithErrorHandler(m_recorder->note(u"error"_s));
        proxy->getVersionWithResponseHandler(m_recorder->note(u"version"_s));
        if (resumed) {
            connection->resume();
            QLocalSocket *client = m_helper.acceptClient();
            QVERIFY(client && HelperSocketStandIn::readRequest(client));
        }
        if (released)
            connection.reset();
        else
            connection->invalidate();
        QTRY_COMPARE(m_recorder->events().size(), released ? 1 : 2);
        proxy->killOpenVPN(); // to a connection that has ended, or is gone
        QTRY_COMPARE(m_recorder->events().filter(u"error The connection to service named"_s).size(), 2);
        QTest::qWait(50);
        QCOMPARE(m_recorder->events().count(u"invalidated"_s), released ? 0 : 1);
        QVERIFY(!m_recorder->onTestThread);
        if (!resumed)
            QCOMPARE(m_helper.acceptClient(100), nullptr);
    }
};

QTEST_GUILESS_MAIN(TestHelperConnection)
#include "tst_helperconnection.moc"
