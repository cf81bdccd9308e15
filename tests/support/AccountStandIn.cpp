#include "AccountStandIn.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpSocket>

Q_LOGGING_CATEGORY(lcStandIn, "quellnet.standin")

namespace quellnet {

namespace {

constexpr qsizetype MaxHeaderBytes = qsizetype(64) * 1024;
constexpr qsizetype MaxBodyBytes = qsizetype(1024) * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 415:
        return "Unsupported Media Type";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}

QByteArray errorBody(const char *message)
{
    return QJsonDocument(QJsonObject { { QStringLiteral("error"), QLatin1String(message) } })
        .toJson(QJsonDocument::Compact);
}

QByteArray jsonObject(const QString &key, const QJsonValue &value)
{
    return QJsonDocument(QJsonObject { { key, value } }).toJson(QJsonDocument::Compact);
}

// The normal reply of `key` with a "padding" member that brings the whole body to exactly `size`
// bytes. Still valid JSON, so only a size limit can reject it.
QByteArray paddedObject(const QString &key, const QJsonValue &value, qsizetype size)
{
    QByteArray body = QJsonDocument(QJsonObject { { key, value }, { QStringLiteral("padding"), QString() } })
                          .toJson(QJsonDocument::Compact);
    // Serialised keys are sorted, and a literal "padding":"" cannot occur inside a JSON string.
    static const QByteArray marker = "\"padding\":\"\"";
    const qsizetype at = body.lastIndexOf(marker);
    Q_ASSERT(at >= 0);
    if (body.size() < size)
        body.insert(at + marker.size() - 1, QByteArray(size - body.size(), 'x'));
    return body;
}

} // namespace

// The listening socket. Hands TLS connections to QSslServer, or, while TLS is refused, keeps them as
// plain TCP and answers the client's hello with plain text.
class StandInServer : public QSslServer
{
public:
    explicit StandInServer(AccountStandIn *owner) : QSslServer(owner), m_owner(owner) { }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        ++m_owner->m_connectionCount;
        if (!m_owner->m_refuseTls) {
            QSslServer::incomingConnection(descriptor);
            return;
        }
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        // Read the hello before answering: closing with unread data would reset the connection,
        // and the client would see a reset instead of a failed handshake.
        connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            socket->readAll();
            socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    AccountStandIn *m_owner;
};

// One accepted connection: collects one request however it is split across reads, hands it to the
// stand-in, and sends the answer.
class StandInConnection : public QObject
{
public:
    StandInConnection(QTcpSocket *socket, AccountStandIn *owner, QObject *parent)
        : QObject(parent), m_socket(socket), m_owner(owner)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &StandInConnection::readMore);
        connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    }

    void readMore()
    {
        const QByteArray data = m_socket->readAll();
        if (m_complete)
            return; // one request per connection; anything after it is ignored
        m_buffer += data;
        if (m_bodyStart < 0 && !parseHead())
            return;
        if (m_bodyStart < 0 || m_buffer.size() - m_bodyStart < m_contentLength)
            return;
        m_complete = true;
        m_request.body = m_buffer.mid(m_bodyStart, m_contentLength);
        m_buffer.clear();
        m_owner->handleRequest(this, std::move(m_request));
    }

    // Sends a complete reply, or only its first half when `cutShort`, then closes (after the
    // buffered data has gone out).
    void send(int status, const QByteArray &body, bool cutShort = false)
    {
        QByteArray reply = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
        reply += "Content-Type: application/json\r\n";
        reply += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        reply += "Connection: close\r\n\r\n";
        reply += cutShort ? body.left(body.size() / 2) : body;
        m_socket->write(reply);
        m_socket->disconnectFromHost();
    }

private:
    // Parses the request line and headers once they are complete. Returns false while more is
    // needed or after a malformed head was answered.
    bool parseHead()
    {
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_buffer.size() > MaxHeaderBytes)
                reject(431, "request head too large");
            return false;
        }
        if (end > MaxHeaderBytes) {
            reject(431, "request head too large");
            return false;
        }
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        const QList<QByteArray> requestLine = lines.first().chopped(lines.first().endsWith('\r') ? 1 : 0).split(' ');
        if (requestLine.size() != 3 || requestLine[0].isEmpty() || !requestLine[1].startsWith('/')
            || !requestLine[2].startsWith("HTTP/1.")) {
            reject(400, "malformed request line");
            return false;
        }
        m_request.method = requestLine[0];
        m_request.target = requestLine[1];
        m_request.version = requestLine[2];

        qint64 contentLength = 0;
        bool haveLength = false;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            QByteArray line = lines[i];
            if (line.endsWith('\r'))
                line.chop(1);
            const qsizetype colon = line.indexOf(':');
            const QByteArray name = colon > 0 ? line.left(colon) : QByteArray();
            if (name.isEmpty() || name.contains(' ') || name.contains('\t')) {
                reject(400, "malformed header");
                return false;
            }
            const QByteArray value = line.mid(colon + 1).trimmed();
            m_request.headers.append({ name, value });
            if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
                reject(501, "transfer encodings are not supported");
                return false;
            }
            if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
                bool ok = !value.isEmpty() && value.size() <= 12;
                for (char c : value)
                    ok = ok && c >= '0' && c <= '9';
                const qint64 length = ok ? value.toLongLong() : -1;
                if (!ok || (haveLength && length != contentLength)) {
                    reject(400, "bad Content-Length");
                    return false;
                }
                contentLength = length;
                haveLength = true;
            }
        }
        if (contentLength > MaxBodyBytes) {
            reject(413, "request body too large");
            return false;
        }
        m_contentLength = contentLength;
        m_bodyStart = end + 4;
        return true;
    }

    void reject(int status, const char *why)
    {
        qCWarning(lcStandIn) << "rejected a request:" << why;
        m_complete = true;
        m_buffer.clear();
        send(status, errorBody(why));
    }

    QTcpSocket *m_socket;
    AccountStandIn *m_owner;
    QByteArray m_buffer;
    AccountStandIn::Request m_request;
    qsizetype m_bodyStart = -1;
    qsizetype m_contentLength = 0;
    bool m_complete = false;
};

QByteArray AccountStandIn::Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool AccountStandIn::Request::hasHeader(const QByteArray &name) const
{
    for (const auto &entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QByteArray AccountStandIn::Request::path() const
{
    const qsizetype mark = target.indexOf('?');
    return mark < 0 ? target : target.left(mark);
}

QByteArray AccountStandIn::Request::query() const
{
    const qsizetype mark = target.indexOf('?');
    return mark < 0 ? QByteArray() : target.mid(mark + 1);
}

AccountStandIn::AccountStandIn(QObject *parent) : QObject(parent) { }

AccountStandIn::~AccountStandIn() = default;

bool AccountStandIn::listen(const QSslCertificate &certificate, const QSslKey &key, quint16 port)
{
    close();
    if (certificate.isNull() || key.isNull()) {
        m_errorString = QStringLiteral("no certificate or no key");
        return false;
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(certificate);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls.setProtocol(QSsl::TlsV1_2OrLater);

    m_server = new StandInServer(this);
    m_server->setSslConfiguration(tls);
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, &AccountStandIn::acceptConnection);
    connect(m_server, &QSslServer::errorOccurred, this,
        [](QSslSocket *, QAbstractSocket::SocketError error) { qCDebug(lcStandIn) << "connection error" << error; });
    if (!m_server->listen(QHostAddress::LocalHost, port)) {
        m_errorString = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    m_errorString.clear();
    return true;
}

bool AccountStandIn::listen(const QString &certificatePath, const QString &keyPath, quint16 port)
{
    QFile certFile(certificatePath);
    QFile keyFile(keyPath);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        m_errorString = QStringLiteral("cannot read %1 or %2").arg(certificatePath, keyPath);
        return false;
    }
    const QSslCertificate certificate(certFile.readAll(), QSsl::Pem);
    const QByteArray keyPem = keyFile.readAll();
    QSslKey key(keyPem, QSsl::Ec, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(keyPem, QSsl::Rsa, QSsl::Pem);
    if (certificate.isNull() || key.isNull()) {
        m_errorString
            = QStringLiteral("%1 or %2 is not a PEM certificate / unencrypted key").arg(certificatePath, keyPath);
        return false;
    }
    return listen(certificate, key, port);
}

void AccountStandIn::close()
{
    // Deleting the server also drops every open connection, held ones included.
    delete m_server;
    m_server = nullptr;
}

bool AccountStandIn::isListening() const
{
    return m_server && m_server->isListening();
}

quint16 AccountStandIn::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

QUrl AccountStandIn::baseUrl() const
{
    return QUrl(QStringLiteral("https://127.0.0.1:%1/api/").arg(port()));
}

void AccountStandIn::addAccount(const QString &email, const QString &password)
{
    m_accounts.insert(email, password);
}

void AccountStandIn::clearAccounts()
{
    m_accounts.clear();
}

void AccountStandIn::setProfile(const QString &config)
{
    m_profile = config;
}

void AccountStandIn::setFailure(Endpoint endpoint, Failure failure)
{
    m_failures[static_cast<size_t>(endpoint)].failure = failure;
}

AccountStandIn::Failure AccountStandIn::failure(Endpoint endpoint) const
{
    return m_failures[static_cast<size_t>(endpoint)].failure;
}

void AccountStandIn::setFailureReply(Endpoint endpoint, int status, const QByteArray &body)
{
    m_failures[static_cast<size_t>(endpoint)] = { Failure::Status, status, body };
}

void AccountStandIn::clearFailures()
{
    m_failures = {};
    m_refuseTls = false;
}

void AccountStandIn::setRefuseTls(bool refuse)
{
    m_refuseTls = refuse;
}

QList<AccountStandIn::Request> AccountStandIn::requests(Endpoint endpoint) const
{
    QList<Request> matching;
    for (const Request &request : m_requests) {
        if (request.path() == endpointPath(endpoint))
            matching.append(request);
    }
    return matching;
}

QByteArray AccountStandIn::endpointPath(Endpoint endpoint)
{
    return endpoint == Endpoint::Login ? QByteArrayLiteral("/api/login") : QByteArrayLiteral("/api/profile");
}

void AccountStandIn::acceptConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto *connection = new StandInConnection(socket, this, m_server);
        // The request may have arrived together with the end of the handshake.
        if (socket->bytesAvailable() > 0)
            connection->readMore();
    }
}

void AccountStandIn::handleRequest(StandInConnection *connection, Request request)
{
    answer(connection, request);
    qCInfo(lcStandIn).noquote() << request.method << request.target << "->"
                                << (request.status ? QByteArray::number(request.status) : QByteArray("(held)"));
    m_requests.append(request);
    Q_EMIT requestReceived(request);
}

void AccountStandIn::answer(StandInConnection *connection, Request &request)
{
    const QByteArray path = request.path();
    for (Endpoint endpoint : { Endpoint::Login, Endpoint::Profile }) {
        if (path == endpointPath(endpoint) && failure(endpoint) != Failure::None) {
            answerFailure(connection, request, endpoint);
            return;
        }
    }
    if (path == endpointPath(Endpoint::Login))
        answerLogin(connection, request);
    else if (path == endpointPath(Endpoint::Profile))
        answerProfile(connection, request);
    else {
        request.status = 404;
        connection->send(404, errorBody("not found"));
    }
}

void AccountStandIn::answerLogin(StandInConnection *connection, Request &request)
{
    auto reply = [&](int status, const QByteArray &body) {
        request.status = status;
        connection->send(status, body);
    };
    if (request.method != "POST")
        return reply(405, errorBody("use POST"));
    if (!request.header("Content-Type").toLower().startsWith("application/json"))
        return reply(415, errorBody("expected application/json"));
    const QJsonDocument document = QJsonDocument::fromJson(request.body);
    const QJsonValue email = document.object().value(QStringLiteral("email"));
    const QJsonValue password = document.object().value(QStringLiteral("password"));
    if (!document.isObject() || !email.isString() || !password.isString())
        return reply(400, errorBody("expected {\"email\": string, \"password\": string}"));
    const auto account = m_accounts.constFind(email.toString());
    if (account == m_accounts.constEnd() || *account != password.toString())
        return reply(401, errorBody("wrong e-mail address or password"));
    reply(200, jsonObject(QStringLiteral("access_token"), QString::fromLatin1(issueToken())));
}

void AccountStandIn::answerProfile(StandInConnection *connection, Request &request)
{
    auto reply = [&](int status, const QByteArray &body) {
        request.status = status;
        connection->send(status, body);
    };
    if (request.method != "GET")
        return reply(405, errorBody("use GET"));
    // Exactly one blank after the scheme, and only a token handed out here.
    const QByteArray authorization = request.header("Authorization");
    if (!authorization.startsWith("Bearer ") || !m_tokens.contains(authorization.mid(7)))
        return reply(401, errorBody("missing or unknown access token"));
    if (request.query() != "country_code=CH")
        return reply(400, errorBody("unknown country"));
    reply(200, jsonObject(QStringLiteral("config"), m_profile));
}

void AccountStandIn::answerFailure(StandInConnection *connection, Request &request, Endpoint endpoint)
{
    const FailureReply &chosen = m_failures[static_cast<size_t>(endpoint)];
    const bool login = endpoint == Endpoint::Login;
    const QString member = login ? QStringLiteral("access_token") : QStringLiteral("config");
    // What the normal reply would carry; a login failure still hands out a working token.
    auto value = [&]() -> QString { return login ? QString::fromLatin1(issueToken()) : m_profile; };

    int status = 200;
    QByteArray body;
    bool cutShort = false;
    switch (chosen.failure) {
    case Failure::None:
        Q_UNREACHABLE();
        break;
    case Failure::Status:
        status = chosen.status;
        body = chosen.body;
        break;
    case Failure::EmptyBody:
        break;
    case Failure::NotJson:
        body = login ? "access_token=" + issueToken() : m_profile.toUtf8();
        if (body.isEmpty())
            body = "client";
        break;
    case Failure::JsonScalar:
        body = QJsonDocument(QJsonArray { value() }).toJson(QJsonDocument::Compact);
        body = body.mid(1, body.size() - 2); // the string alone, without the array around it
        break;
    case Failure::MissingMember:
        body = jsonObject(login ? QStringLiteral("token") : QStringLiteral("configuration"), value());
        break;
    case Failure::NonStringMember:
        body = jsonObject(member, 42);
        break;
    case Failure::Oversized:
        body = paddedObject(member, value(), OversizedBodySize);
        break;
    case Failure::NoAnswer:
        request.status = 0;
        return;
    case Failure::CloseMidReply:
        body = jsonObject(member, value());
        cutShort = true;
        break;
    }
    request.status = status;
    connection->send(status, body, cutShort);
}

QByteArray AccountStandIn::issueToken()
{
    std::array<quint32, 8> random;
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    QByteArray token = QByteArray(reinterpret_cast<const char *>(random.data()), sizeof(random)).toHex();
    m_tokens.insert(token);
    m_tokenOrder.append(token);
    return token;
}

} // namespace quellnet
