// Reading a reply body as JSON the way the sign-in does before it insists on an object.

#include "AccountClient.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

using namespace quellnet;

class TestAccountClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lenientJson_data();
    void lenientJson();
};

void TestAccountClient::lenientJson_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("readable");
    QTest::addColumn<QJsonValue>("value");

    QTest::newRow("object") << QByteArray(R"({"access_token":"t"})") << true
                            << QJsonValue(QJsonObject{{QStringLiteral("access_token"), QStringLiteral("t")}});
    QTest::newRow("array") << QByteArray("[1,2]") << true << QJsonValue(QJsonArray{1, 2});
    QTest::newRow("string") << QByteArray(R"("token")") << true << QJsonValue(QStringLiteral("token"));
    QTest::newRow("number") << QByteArray("42") << true << QJsonValue(42);
    QTest::newRow("null") << QByteArray("null") << true << QJsonValue(QJsonValue::Null);
    QTest::newRow("false with blanks") << QByteArray(" false\n") << true << QJsonValue(false);

    QTest::newRow("empty") << QByteArray() << false << QJsonValue();
    QTest::newRow("blank") << QByteArray("  ") << false << QJsonValue();
    QTest::newRow("two values") << QByteArray("1,2") << false << QJsonValue();
    QTest::newRow("value then garbage") << QByteArray("{} x") << false << QJsonValue();
    // A body that tries to close the wrapping array early must not read as valid.
    QTest::newRow("bracket injection") << QByteArray("1],[2") << false << QJsonValue();
    QTest::newRow("html") << QByteArray("<html>nope</html>") << false << QJsonValue();
    QTest::newRow("truncated object") << QByteArray(R"({"access_token":)") << false << QJsonValue();
}

void TestAccountClient::lenientJson()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, readable);
    QFETCH(QJsonValue, value);

    QJsonValue read;
    QCOMPARE(AccountClient::readJsonLeniently(body, &read), readable);
    if (readable)
        QCOMPARE(read, value);
}

QTEST_GUILESS_MAIN(TestAccountClient)
#include "tst_accountclient.moc"
