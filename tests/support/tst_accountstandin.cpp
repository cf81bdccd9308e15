// The account stand-in is only useful if it is strict where a real service would be and if each
// failure it offers really reaches a client as that failure; a lax or wrong stand-in would let faults
// in the client pass. These tests talk to it the way the client does: QNetworkAccessManager over
// verified TLS.

#include "AccountStandIn.h"
#include "TestPki.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryFile>
#include <QTest>

#include <memory>

using namespace quellnet;

using Headers = QList<QPair<QByteArray, QByteArray>>;
Q_DECLARE_METATYPE(AccountStandIn::Endpoint)
Q_DECLARE_METATYPE(AccountStandIn::Failure)

namespace {

const QString Email = QStringLiteral("anna@example.test");
const QString Password = QStringLiteral(" pass \"word\" \\ ");
const QString Profile = QStringLiteral("client\ndev tun\nremote 192.0.2.1 1194\n<ca>\n\"quoted\" \\ text\n</ca>\n");

struct Response
{
    int status = 0; // 0: no HTTP response at all
    QByteArray body;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    qint64 contentLength = -1;
};

QByteArray loginBody(const QString &email, const QString &password)
{
    return QJsonDocument(QJsonObject { { QStringLiteral("email"), email }, { QStringLiteral("password"), password } })
        .toJson(QJsonDocument::Compact);
}

// Reads a body the way a lenient client does: top-level scalars allowed. Null when it is no JSON.
QJsonValue lenientJson(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument wrapped = QJsonDocument::fromJson('[' + body + ']', &error);
    if (error.error != QJsonParseError::NoError || wrapped.array().size() != 1)
        return QJsonValue(QJsonValue::Undefined);
    return wrapped.array().first();
}

} // namespace

class TestAccountStandIn : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void signsInAndServesTheProfile();
    void insistsOnRequestShape_data();
    void insistsOnRequestShape();
    void readsRequestsSplitAcrossRecords_data();
    void readsRequestsSplitAcrossRecords();
    void failuresReachTheClient_data();
    void failuresReachTheClient();
    void refusesTls();
    void programServesUntilSignalled();

private:
    Response send(const QByteArray &method, const QByteArray &target, const Headers &headers = {},
        const QByteArray &body = {}, int transferTimeoutMs = 10000, quint16 port = 0);
    Response login(const QString &email, const QString &password, quint16 port = 0);
    QByteArray validToken();

    TestPki m_pki;
    QNetworkAccessManager m_network;
    std::unique_ptr<AccountStandIn> m_standIn;
};

void TestAccountStandIn::initTestCase()
{
    QVERIFY2(m_pki.isValid(), qPrintable(m_pki.errorString()));
}

void TestAccountStandIn::init()
{
    m_standIn = std::make_unique<AccountStandIn>();
    m_standIn->addAccount(Email, Password);
    m_standIn->setProfile(Profile);
    QVERIFY2(m_standIn->listen(m_pki.standInCertificatePath(), m_pki.standInKeyPath()),
        qPrintable(m_standIn->errorString()));
    QVERIFY(m_standIn->port() != 0);
}

void TestAccountStandIn::cleanup()
{
    m_standIn.reset();
    m_network.clearConnectionCache();
}

Response TestAccountStandIn::send(const QByteArray &method, const QByteArray &target, const Headers &headers,
    const QByteArray &body, int transferTimeoutMs, quint16 port)
{
    QNetworkRequest request(QUrl(
        QStringLiteral("https://127.0.0.1:%1").arg(port ? port : m_standIn->port()) + QString::fromLatin1(target)));
    request.setSslConfiguration(m_pki.clientConfiguration());
    request.setTransferTimeout(transferTimeoutMs);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    QNetworkReply *reply
        = method == "GET" ? m_network.get(request) : m_network.sendCustomRequest(request, method, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(transferTimeoutMs + 5000))
        qWarning("no reply within %d ms", transferTimeoutMs + 5000);

    Response response;
    response.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->isOpen())
        response.body = reply->readAll();
    response.error = reply->error();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    response.contentLength = length.isValid() ? length.toLongLong() : -1;
    reply->deleteLater();
    return response;
}

Response TestAccountStandIn::login(const QString &email, const QString &password, quint16 port)
{
    return send(
        "POST", "/api/login", { { "Content-Type", "application/json" } }, loginBody(email, password), 10000, port);
}

QByteArray TestAccountStandIn::validToken()
{
    const Response response = login(Email, Password);
    return QJsonDocument::fromJson(response.body).object().value(QStringLiteral("access_token")).toString().toLatin1();
}

// The normal road, and that what the stand-in records is what was sent.
void TestAccountStandIn::signsInAndServesTheProfile()
{
    const Response signIn = login(Email, Password);
    QCOMPARE(signIn.error, QNetworkReply::NoError);
    QCOMPARE(signIn.status, 200);
    const QString token
        = QJsonDocument::fromJson(signIn.body).object().value(QStringLiteral("access_token")).toString();
    QCOMPARE(token.size(), 64);
    QCOMPARE(m_standIn->issuedTokens(), QList<QByteArray> { token.toLatin1() });

    const Response profile
        = send("GET", "/api/profile?country_code=CH", { { "Authorization", "Bearer " + token.toLatin1() } });
    QCOMPARE(profile.status, 200);
    QCOMPARE(QJsonDocument::fromJson(profile.body).object().value(QStringLiteral("config")).toString(), Profile);

    // A second login gets a token of its own.
    QVERIFY(validToken() != token.toLatin1());

    const QList<AccountStandIn::Request> logins = m_standIn->requests(AccountStandIn::Endpoint::Login);
    QCOMPARE(logins.size(), 2);
    QCOMPARE(logins[0].method, QByteArray("POST"));
    QCOMPARE(logins[0].target, QByteArray("/api/login"));
    QCOMPARE(logins[0].header("content-type"), QByteArray("application/json"));
    QCOMPARE(logins[0].body, loginBody(Email, Password));
    QCOMPARE(logins[0].status, 200);
    const QList<AccountStandIn::Request> profiles = m_standIn->requests(AccountStandIn::Endpoint::Profile);
    QCOMPARE(profiles.size(), 1);
    QCOMPARE(profiles[0].method, QByteArray("GET"));
    QCOMPARE(profiles[0].target, QByteArray("/api/profile?country_code=CH"));
    QCOMPARE(profiles[0].header("AUTHORIZATION"), "Bearer " + token.toLatin1());
    QVERIFY(profiles[0].body.isEmpty());
    QCOMPARE(m_standIn->requests().size(), 3);
}

// Everything short of the exact request is refused, so that a client that gets it slightly wrong
// fails against the stand-in as it would against the real service. "TOKEN" stands for a token that
// was really issued.
void TestAccountStandIn::insistsOnRequestShape_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<Headers>("headers");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");

    const Headers json { { "Content-Type", "application/json" } };
    QTest::newRow("wrong password") << QByteArray("POST") << QByteArray("/api/login") << json
                                    << loginBody(Email, QStringLiteral("pass")) << 401;
    QTest::newRow("password without its outer blanks")
        << QByteArray("POST") << QByteArray("/api/login") << json << loginBody(Email, Password.trimmed()) << 401;
    QTest::newRow("e-mail in other case")
        << QByteArray("POST") << QByteArray("/api/login") << json << loginBody(Email.toUpper(), Password) << 401;
    QTest::newRow("unknown e-mail") << QByteArray("POST") << QByteArray("/api/login") << json
                                    << loginBody(QStringLiteral("x@example.test"), Password) << 401;
    QTest::newRow("login body not JSON") << QByteArray("POST") << QByteArray("/api/login") << json
                                         << QByteArray("email=anna") << 400;
    QTest::newRow("login password not a string") << QByteArray("POST") << QByteArray("/api/login") << json
                                                 << QByteArray(R"({"email":"anna@example.test","password":12})") << 400;
    QTest::newRow("login as form") << QByteArray("POST") << QByteArray("/api/login")
                                   << Headers { { "Content-Type", "application/x-www-form-urlencoded" } }
                                   << loginBody(Email, Password) << 415;
    QTest::newRow("login with GET") << QByteArray("GET") << QByteArray("/api/login") << Headers {} << QByteArray()
                                    << 405;

    const QByteArray profile = "/api/profile?country_code=CH";
    QTest::newRow("profile without Authorization") << QByteArray("GET") << profile << Headers {} << QByteArray() << 401;
    QTest::newRow("token never issued") << QByteArray("GET") << profile
                                        << Headers { { "Authorization", "Bearer " + QByteArray(64, 'a') } }
                                        << QByteArray() << 401;
    QTest::newRow("token without scheme")
        << QByteArray("GET") << profile << Headers { { "Authorization", "TOKEN" } } << QByteArray() << 401;
    QTest::newRow("scheme in lower case")
        << QByteArray("GET") << profile << Headers { { "Authorization", "bearer TOKEN" } } << QByteArray() << 401;
    QTest::newRow("two blanks after the scheme")
        << QByteArray("GET") << profile << Headers { { "Authorization", "Bearer  TOKEN" } } << QByteArray() << 401;
    QTest::newRow("slash before the query") << QByteArray("GET") << QByteArray("/api/profile/?country_code=CH")
                                            << Headers { { "Authorization", "Bearer TOKEN" } } << QByteArray() << 404;
    QTest::newRow("other country") << QByteArray("GET") << QByteArray("/api/profile?country_code=DE")
                                   << Headers { { "Authorization", "Bearer TOKEN" } } << QByteArray() << 400;
    QTest::newRow("no country") << QByteArray("GET") << QByteArray("/api/profile")
                                << Headers { { "Authorization", "Bearer TOKEN" } } << QByteArray() << 400;
    QTest::newRow("profile with POST") << QByteArray(
        "POST") << profile << Headers { { "Authorization", "Bearer TOKEN" }, { "Content-Type", "application/json" } }
                                       << QByteArray("{}") << 405;
    QTest::newRow("unknown path") << QByteArray("GET") << QByteArray("/api/logout") << Headers {} << QByteArray()
                                  << 404;
}

void TestAccountStandIn::insistsOnRequestShape()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(Headers, headers);
    QFETCH(QByteArray, body);
    QFETCH(int, status);

    const QByteArray token = validToken();
    QVERIFY(!token.isEmpty());
    for (auto &header : headers)
        header.second.replace("TOKEN", token);

    const Response response = send(method, target, headers, body);
    QCOMPARE(response.status, status);
    // Refusals are JSON too, as a real service's would be.
    QVERIFY(QJsonDocument::fromJson(response.body).object().contains(QStringLiteral("error")));
}

// TLS delivers a request in as many records as the client wrote; the stand-in must put it together
// whatever the boundaries.
void TestAccountStandIn::readsRequestsSplitAcrossRecords_data()
{
    // The request is cut right before each marker (searched from the previous cut); an empty list
    // cuts it before every byte.
    QTest::addColumn<QList<QByteArray>>("cuts");

    QTest::newRow("in the request line") << QList<QByteArray> { "login HTTP" };
    QTest::newRow("in a header name and in its value") << QList<QByteArray> { "tent-Type", "json\r\n" };
    QTest::newRow("inside the blank line, then in the body") << QList<QByteArray> { "\n\r\n", "\n", "\"password\"" };
    QTest::newRow("every byte alone") << QList<QByteArray> {};
}

void TestAccountStandIn::readsRequestsSplitAcrossRecords()
{
    QFETCH(QList<QByteArray>, cuts);

    const QByteArray body = loginBody(Email, Password);
    const QByteArray request = "POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                               "Content-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    QList<qsizetype> offsets;
    for (const QByteArray &marker : cuts) {
        const qsizetype at = request.indexOf(marker, offsets.isEmpty() ? 1 : offsets.last() + 1);
        QVERIFY2(at > 0, marker.constData());
        offsets.append(at);
    }
    if (cuts.isEmpty()) {
        for (qsizetype i = 1; i < request.size(); ++i)
            offsets.append(i);
    }
    offsets.append(request.size());

    QSslSocket socket;
    socket.setSslConfiguration(m_pki.clientConfiguration());
    // The stand-in runs on this thread: wait with the event loop turning, never with waitFor*().
    QSignalSpy encrypted(&socket, &QSslSocket::encrypted);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_standIn->port());
    QVERIFY2(encrypted.wait(5000), qPrintable(socket.errorString()));
    qsizetype from = 0;
    for (qsizetype to : offsets) {
        // Each flushed write goes out as a TLS record of its own.
        socket.write(request.mid(from, to - from));
        QVERIFY(socket.flush());
        from = to;
        // Let the stand-in read this record alone before the next one is sent.
        QTest::qWait(cuts.isEmpty() ? 1 : 30);
        if (from < request.size())
            QVERIFY(m_standIn->requests().isEmpty());
    }
    QTRY_COMPARE(m_standIn->requests().size(), 1);
    QByteArray reply;
    QTRY_VERIFY((reply += socket.readAll(), socket.state() == QAbstractSocket::UnconnectedState));
    reply += socket.readAll();
    QVERIFY2(reply.startsWith("HTTP/1.1 200 OK\r\n"), reply.constData());
    QVERIFY(reply.contains("\"access_token\""));
    QCOMPARE(m_standIn->requests().first().body, body);
    QCOMPARE(m_standIn->requests().first().header("Content-Length"), QByteArray::number(body.size()));
}

// Each failure as the client sees it, on both endpoints.
void TestAccountStandIn::failuresReachTheClient_data()
{
    QTest::addColumn<AccountStandIn::Endpoint>("endpoint");
    QTest::addColumn<AccountStandIn::Failure>("failure");

    using F = AccountStandIn::Failure;
    for (auto endpoint : { AccountStandIn::Endpoint::Login, AccountStandIn::Endpoint::Profile }) {
        const char *prefix = endpoint == AccountStandIn::Endpoint::Login ? "login" : "profile";
        for (F failure : { F::Status, F::EmptyBody, F::NotJson, F::JsonScalar, F::MissingMember, F::NonStringMember,
                 F::Oversized, F::NoAnswer, F::CloseMidReply }) {
            const QByteArray name = QByteArray(prefix) + ": " + QMetaEnum::fromType<F>().valueToKey(int(failure));
            QTest::newRow(name.constData()) << endpoint << failure;
        }
    }
}

void TestAccountStandIn::failuresReachTheClient()
{
    QFETCH(AccountStandIn::Endpoint, endpoint);
    QFETCH(AccountStandIn::Failure, failure);
    using F = AccountStandIn::Failure;
    const bool isLogin = endpoint == AccountStandIn::Endpoint::Login;
    const QString member = isLogin ? QStringLiteral("access_token") : QStringLiteral("config");

    const QByteArray token = validToken();
    if (failure == F::Status)
        m_standIn->setFailureReply(endpoint, 503, R"({"error":"maintenance"})");
    else
        m_standIn->setFailure(endpoint, failure);
    m_standIn->clearRequests();

    const int timeout = failure == F::NoAnswer ? 500 : 10000;
    QElapsedTimer elapsed;
    elapsed.start();
    const Response r = isLogin
        ? send("POST", "/api/login", { { "Content-Type", "application/json" } }, loginBody(Email, Password), timeout)
        : send("GET", "/api/profile?country_code=CH", { { "Authorization", "Bearer " + token } }, {}, timeout);
    QCOMPARE(m_standIn->requests(endpoint).size(), 1);

    const QJsonValue lenient = lenientJson(r.body);
    const QJsonObject object = QJsonDocument::fromJson(r.body).object();
    // The value a normal reply would have carried in `member`.
    auto isTheRealValue = [&](const QJsonValue &v) {
        return isLogin ? m_standIn->issuedTokens().contains(v.toString().toLatin1()) : v.toString() == Profile;
    };

    switch (failure) {
    case F::None:
        QFAIL("not a failure");
    case F::Status:
        QCOMPARE(r.status, 503);
        QCOMPARE(r.body, QByteArray(R"({"error":"maintenance"})"));
        break;
    case F::EmptyBody:
        QCOMPARE(r.error, QNetworkReply::NoError);
        QCOMPARE(r.status, 200);
        QCOMPARE(r.body, QByteArray());
        break;
    case F::NotJson:
        QCOMPARE(r.status, 200);
        QVERIFY(!r.body.isEmpty());
        QVERIFY(lenient.isUndefined());
        break;
    case F::JsonScalar:
        QCOMPARE(r.status, 200);
        QVERIFY(lenient.isString());
        QVERIFY(QJsonDocument::fromJson(r.body).isNull());
        QVERIFY(isTheRealValue(lenient));
        break;
    case F::MissingMember:
        QCOMPARE(r.status, 200);
        QVERIFY(!object.isEmpty());
        QVERIFY(!object.contains(member));
        QVERIFY(isTheRealValue(*object.begin()));
        break;
    case F::NonStringMember:
        QCOMPARE(r.status, 200);
        QVERIFY(object.contains(member));
        QVERIFY(!object.value(member).isString());
        break;
    case F::Oversized:
        QCOMPARE(r.error, QNetworkReply::NoError);
        QCOMPARE(r.status, 200);
        QCOMPARE(r.body.size(), 4 * 1024 * 1024 + 1);
        QVERIFY(isTheRealValue(object.value(member)));
        break;
    case F::NoAnswer:
        QCOMPARE(r.status, 0);
        QVERIFY(r.error != QNetworkReply::NoError);
        QVERIFY(elapsed.elapsed() >= timeout - 50);
        QCOMPARE(m_standIn->requests(endpoint).first().status, 0);
        break;
    case F::CloseMidReply:
        QVERIFY2(r.error != QNetworkReply::NoError, "a cut reply must not look complete");
        QVERIFY(r.contentLength > 0);
        QVERIFY(r.body.size() < r.contentLength);
        break;
    }

    // The failure belongs to its endpoint only.
    if (isLogin) {
        const Response profile
            = send("GET", "/api/profile?country_code=CH", { { "Authorization", "Bearer " + token } });
        QCOMPARE(profile.status, 200);
    } else {
        QCOMPARE(login(Email, Password).status, 200);
    }
}

void TestAccountStandIn::refusesTls()
{
    m_standIn->setRefuseTls(true);
    const Response refused = login(Email, Password);
    QCOMPARE(refused.status, 0);
    QCOMPARE(refused.error, QNetworkReply::SslHandshakeFailedError);
    QVERIFY(m_standIn->requests().isEmpty());
    QCOMPARE(m_standIn->connectionCount(), 1);

    m_standIn->clearFailures();
    QCOMPARE(login(Email, Password).status, 200);
}

// The program the demo and the stack run: accounts from both options, and a clean exit on SIGTERM.
void TestAccountStandIn::programServesUntilSignalled()
{
    QTemporaryFile accounts;
    QTemporaryFile profile;
    QVERIFY(accounts.open() && profile.open());
    accounts.write("tricky@example.test\t Quote\" Back\\slash 7\n");
    profile.write(Profile.toUtf8());
    accounts.close();
    profile.close();

    QProcess program;
    program.start(QStringLiteral(QUELLNET_STANDIN_EXE),
        { QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--cert"), m_pki.standInCertificatePath(),
            QStringLiteral("--key"), m_pki.standInKeyPath(), QStringLiteral("--account"),
            QStringLiteral("colon@example.test:pa:ss"), QStringLiteral("--accounts"), accounts.fileName(),
            QStringLiteral("--profile"), profile.fileName() });
    QVERIFY(program.waitForStarted());
    const QRegularExpression urlLine(QStringLiteral("https://127\\.0\\.0\\.1:(\\d+)/api/"));
    QRegularExpressionMatch match;
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT(
        (output += program.readAllStandardOutput(), match = urlLine.match(QString::fromUtf8(output)), match.hasMatch()),
        10000);
    const auto port = static_cast<quint16>(match.captured(1).toUInt());

    QCOMPARE(login(QStringLiteral("colon@example.test"), QStringLiteral("pa:ss"), port).status, 200);
    QCOMPARE(login(QStringLiteral("tricky@example.test"), QStringLiteral(" Quote\" Back\\slash 7"), port).status, 200);
    QCOMPARE(login(QStringLiteral("tricky@example.test"), QStringLiteral("Quote\" Back\\slash 7"), port).status, 401);

    program.terminate();
    QVERIFY(program.waitForFinished(5000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestAccountStandIn)
#include "tst_accountstandin.moc"
