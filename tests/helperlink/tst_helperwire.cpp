#include "helperlink/HelperWire.h"

#include <QTest>

using namespace quellnet;
using namespace Qt::StringLiterals;

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
        row("NUL in a path", R"({"id":3,"op":"runOpenVPN","config":"/a\u0000/x","client_up":"/b","client_down":"/c"})",
            3);
    }
    void refusedRequests()
    {
        QFETCH(QByteArray, line);
        QFETCH(qint64, id);
        const HelperDecoded<HelperRequest> decoded = HelperWire::decodeRequest(line);
        QVERIFY(!decoded.message && !decoded.error.isEmpty());
        QCOMPARE(decoded.id ? qint64(*decoded.id) : qint64(-1), id);
        QVERIFY(!decoded.error.contains(u"reboot"_s) && !decoded.error.contains(u"signal"_s));
    }
};

QTEST_APPLESS_MAIN(TestHelperWire)
#include "tst_helperwire.moc"
