#include "tests/support/AccountStandIn.h"

#include "base/Error.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpSocket>

#include <algorithm>

namespace quellnet::test {

Q_LOGGING_CATEGORY(lcStandIn, "quellnet.standin", QtInfoMsg)

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype maxRequestBytes = qsizetype(1) << 20;
constexpr qsizetype oversizedBodyBytes = qsizetype(4) * 1024 * 1024 + 1;

QByteArray jsonObject(const QString &key, const QJsonValue &value)
{
    return QJsonDocument(QJsonObject { { key, value } }).toJson(QJsonDocument::Compact);
}

QByteArray errorBody(const char *message)
{
    return jsonObject(u"error"_s, QLatin1String(message));
}

// `object` with a "padding" member that brings it to exactly `size` bytes: still valid JSON, so
// only a size limit can reject it.
QByteArray padded(QByteArray object, qsizetype size)
{
    object.chop(1); // the closing brace
    object += ",\"padding\":\"";
    return object + QByteArray(size - object.size() - 2, 'x') + "\"}";
}

void send(QTcpSocket *socket, int status, const QByteArray &body, bool cutShort)
{
    static const QHash<int, QByteArray> reasons { { 200, "OK" }, { 400, "Bad Request" }, { 401, "Unauthorized" },
        { 404, "Not Found" }, { 405, "Method Not Allowed" }, { 415, "Unsupported Media Type" } };
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasons.value(status, "Status")
        + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\n\r\n" + (cutShort ? body.first(body.size() / 2) : body));
    socket->disconnectFromHost();
}

} // namespace

bool AccountStandIn::listen(const QString &certificatePath, const QString &keyPath, quint16 port, QString *error)
{
    close();
    QFile certificateFile(certificatePath);
    QFile keyFile(keyPath);
    const QByteArray keyPem = keyFile.open(QIODevice::ReadOnly) ? keyFile.readAll() : QByteArray();
    const QSslKey ecKey(keyPem, QSsl::Ec);
    const QSslKey key = ecKey.isNull() ? QSslKey(keyPem, QSsl::Rsa) : ecKey;
    const QSslCertificate certificate(certificateFile.open(QIODevice::ReadOnly) ? certificateFile.readAll() : ""_ba);
    if (certificate.isNull() || key.isNull())
        return failWith(error, u"no usable certificate in %1 or key in %2"_s.arg(certificatePath, keyPath));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(certificate);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_server = new QSslServer;
    m_server->setSslConfiguration(tls);
    QObject::connect(m_server, &QTcpServer::pendingConnectionAvailable, m_server, [this] { acceptConnections(); });
    if (m_server->listen(QHostAddress::LocalHost, port))
        return true;
    failWith(error, m_server->errorString());
    close();
    return false;
}

void AccountStandIn::close()
{
    // The accepted connections are the server's children.
    delete m_server;
    m_server = nullptr;
}

QUrl AccountStandIn::baseUrl() const
{
    return QUrl(u"https://127.0.0.1:%1/api/"_s.arg(m_server != nullptr ? m_server->serverPort() : 0));
}

void AccountStandIn::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { readRequest(socket); });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // The request may have come with the end of the handshake.
        if (socket->bytesAvailable() > 0)
            readRequest(socket);
    }
}

// One request per connection, however it is split across reads: it stays in the socket's buffer
// until it is complete. Anything after it is ignored.
void AccountStandIn::readRequest(QTcpSocket *socket)
{
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    const QByteArray data = socket->peek(socket->bytesAvailable());
    const qsizetype headEnd = data.indexOf("\r\n\r\n");
    if (headEnd < 0 && data.size() <= maxRequestBytes)
        return;

    Request request;
    const QList<QByteArray> lines = data.first(std::max<qsizetype>(headEnd, 0)).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    bool wellFormed = headEnd > 0 && requestLine.size() == 3 && requestLine[1].startsWith('/')
        && requestLine[2].startsWith("HTTP/1.");
    for (qsizetype i = 1; wellFormed && i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        wellFormed = colon > 0;
        if (wellFormed)
            request.headers.insert(lines[i].first(colon).toLower(), lines[i].sliced(colon + 1).trimmed());
    }
    bool lengthRead = true;
    const qint64 length = request.headers.value("content-length", "0").toLongLong(&lengthRead);
    wellFormed = wellFormed && lengthRead && length >= 0 && length <= maxRequestBytes - headEnd - 4;
    if (wellFormed && data.size() < headEnd + 4 + length)
        return;

    socket->setProperty("answered", true);
    socket->readAll();
    if (!wellFormed) {
        qCWarning(lcStandIn) << "rejected a malformed or oversized request";
        send(socket, 400, errorBody("malformed or oversized request"), false);
        return;
    }
    request.method = requestLine[0];
    request.path = requestLine[1].split('?').first();
    request.query = requestLine[1].mid(request.path.size() + 1);
    request.body = data.sliced(headEnd + 4, length);
    bool cutShort = false;
    const auto [status, body] = answer(request, cutShort);
    qCInfo(lcStandIn).noquote() << request.method << requestLine[1] << "->"
                                << (status != 0 ? QByteArray::number(status) : "(held)"_ba);
    m_paths.append(request.path);
    if (status != 0)
        send(socket, status, body, cutShort);
}

QPair<int, QByteArray> AccountStandIn::answer(const Request &request, bool &cutShort)
{
    const QByteArray &path = request.path;
    for (Endpoint endpoint : { Endpoint::Login, Endpoint::Profile }) {
        if (path == pathOf(endpoint) && m_failures[index(endpoint)].failure != Failure::None)
            return answerFailure(m_failures[index(endpoint)], endpoint, cutShort);
    }

    if (path == pathOf(Endpoint::Login)) {
        if (request.method != "POST")
            return { 405, errorBody("use POST") };
        if (!request.headers.value("content-type").toLower().startsWith("application/json"))
            return { 415, errorBody("expected application/json") };
        const QJsonObject object = QJsonDocument::fromJson(request.body).object();
        const QJsonValue email = object.value(u"email"_s);
        const QJsonValue password = object.value(u"password"_s);
        if (!email.isString() || !password.isString())
            return { 400, errorBody("expected {\"email\": string, \"password\": string}") };
        if (!m_accounts.contains(email.toString()) || m_accounts.value(email.toString()) != password.toString())
            return { 401, errorBody("wrong e-mail address or password") };
        return { 200, jsonObject(u"access_token"_s, QString::fromLatin1(issueToken())) };
    }
    if (path == pathOf(Endpoint::Profile)) {
        if (request.method != "GET")
            return { 405, errorBody("use GET") };
        // Exactly one blank after the scheme, and only a token handed out here.
        const QByteArray authorization = request.headers.value("authorization");
        if (!authorization.startsWith("Bearer ") || !m_tokens.contains(authorization.sliced(7)))
            return { 401, errorBody("missing or unknown access token") };
        if (request.query != "country_code=CH")
            return { 400, errorBody("unknown country") };
        return { 200, jsonObject(u"config"_s, m_profile) };
    }
    return { 404, errorBody("not found") };
}

QPair<int, QByteArray> AccountStandIn::answerFailure(const FailureReply &chosen, Endpoint endpoint, bool &cutShort)
{
    const bool login = endpoint == Endpoint::Login;
    const QString member = login ? u"access_token"_s : u"config"_s;
    // What the normal reply would carry; a login's token still works.
    const auto value = [&] { return login ? QString::fromLatin1(issueToken()) : m_profile; };
    switch (chosen.failure) {
    case Failure::None:
        break;
    case Failure::Status:
        return { chosen.status, chosen.body };
    case Failure::EmptyBody:
        return { 200, {} };
    case Failure::NotJson:
        return { 200, login ? "access_token=" + issueToken() : m_profile.toUtf8() };
    case Failure::JsonScalar:
        // The string alone, without the array around it.
        return { 200, QJsonDocument(QJsonArray { value() }).toJson(QJsonDocument::Compact).sliced(1).chopped(1) };
    case Failure::MissingMember:
        return { 200, jsonObject(login ? u"token"_s : u"configuration"_s, value()) };
    case Failure::NonStringMember:
        return { 200, jsonObject(member, 42) };
    case Failure::Oversized:
        return { 200, padded(jsonObject(member, value()), oversizedBodyBytes) };
    case Failure::NoAnswer:
        return { 0, {} };
    case Failure::CloseMidReply:
        cutShort = true;
        break;
    }
    return { 200, jsonObject(member, value()) };
}

QByteArray AccountStandIn::issueToken()
{
    std::array<quint32, 8> random {};
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    m_tokens.append(QByteArray(reinterpret_cast<const char *>(random.data()), sizeof(random)).toHex());
    return m_tokens.last();
}

} // namespace quellnet::test
