#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QUrl>

#include <array>

namespace quellnet {

class StandInServer;
class StandInConnection;

// A local HTTPS stand-in for the provider's account service, for tests and the demo.
//
// It listens on 127.0.0.1 with a real certificate and speaks plain HTTP/1.1 (one request per
// connection, always "Connection: close"):
//   POST /api/login                     JSON {"email","password"} of a known account
//                                       -> 200 {"access_token": <fresh random token>}, otherwise 401
//   GET  /api/profile?country_code=CH   "Authorization: Bearer <a token it issued>"
//                                       -> 200 {"config": <the profile text>}, otherwise 401
// Anything else gets 400, 404, 405 or 415 with a small JSON error object; a malformed or oversized
// request (head over 64 KiB, body over 1 MiB, chunked) gets 400, 413, 431 or 501.
//
// Every request is recorded exactly as it arrived, so tests can check what a client sends. Each
// endpoint can be told to answer with a chosen failure instead of its normal reply; a failure stays
// until it is changed, and applies to every request for that endpoint's path, whatever it holds.
//
// Lives on the thread that created it and does all its work on that thread's event loop; a test
// that runs a client in the same thread simply keeps the loop turning (QTRY_*, QSignalSpy::wait).
class AccountStandIn : public QObject
{
    Q_OBJECT

public:
    enum class Endpoint { Login, Profile };
    Q_ENUM(Endpoint)

    // Bodies are built so that a lenient client would be fooled: where it makes sense they carry a
    // token that really works, or the real profile, just not in the shape a client must insist on.
    enum class Failure {
        None, // the normal reply
        Status, // the status and body given to setFailureReply()
        EmptyBody, // 200 with Content-Length: 0
        NotJson, // 200, not JSON ("access_token=<token>" / the bare profile text)
        JsonScalar, // 200, a top-level JSON string (the token / the profile)
        MissingMember, // 200, an object without "access_token" / "config" (under another name)
        NonStringMember, // 200, an object whose "access_token" / "config" is a number
        Oversized, // 200, the normal reply padded to 4 MiB + 1 byte (the token is valid)
        NoAnswer, // reads the request and never answers; the connection stays open
        CloseMidReply, // headers with the full Content-Length and half the body, then a close
    };
    Q_ENUM(Failure)

    // One request as received.
    struct Request
    {
        QByteArray method;
        QByteArray target; // path and query, exactly as in the request line
        QByteArray version;
        QList<QPair<QByteArray, QByteArray>> headers; // in order, names as sent
        QByteArray body;
        int status = 0; // what the stand-in answered; 0 while it holds the connection

        // The first value of a header (name compared case-insensitively); empty when absent.
        QByteArray header(const QByteArray &name) const;
        bool hasHeader(const QByteArray &name) const;
        QByteArray path() const;
        QByteArray query() const;
    };

    static constexpr qsizetype OversizedBodySize = 4 * 1024 * 1024 + 1;

    explicit AccountStandIn(QObject *parent = nullptr);
    ~AccountStandIn() override;

    // Starts listening on 127.0.0.1; port 0 picks a free one. Returns false with errorString()
    // set when the port is taken or the key does not fit the certificate.
    bool listen(const QSslCertificate &certificate, const QSslKey &key, quint16 port = 0);
    // The same with PEM files; the key may be EC or RSA, unencrypted.
    bool listen(const QString &certificatePath, const QString &keyPath, quint16 port = 0);
    void close();
    bool isListening() const;
    QString errorString() const { return m_errorString; }
    quint16 port() const;
    // https://127.0.0.1:<port>/api/
    QUrl baseUrl() const;

    // Accounts compare exactly: no trimming, no case folding.
    void addAccount(const QString &email, const QString &password);
    void clearAccounts();
    void setProfile(const QString &config);
    QString profile() const { return m_profile; }

    void setFailure(Endpoint endpoint, Failure failure);
    Failure failure(Endpoint endpoint) const;
    // Failure::Status with exactly this status code and body (sent as application/json). Meant for
    // final statuses (200 to 599); a 1xx status would leave an HTTP client waiting for the real one.
    void setFailureReply(Endpoint endpoint, int status, const QByteArray &body);
    // Every failure back to None, and TLS accepted again.
    void clearFailures();

    // Accepts TCP connections but answers the TLS handshake with plain text and closes them.
    void setRefuseTls(bool refuse);
    bool refusesTls() const { return m_refuseTls; }

    QList<Request> requests() const { return m_requests; }
    // The recorded requests whose path is the endpoint's path.
    QList<Request> requests(Endpoint endpoint) const;
    void clearRequests() { m_requests.clear(); }
    // Tokens handed out by successful logins, oldest first.
    QList<QByteArray> issuedTokens() const { return m_tokenOrder; }
    // TCP connections accepted so far (TLS completed or not).
    int connectionCount() const { return m_connectionCount; }

    static QByteArray endpointPath(Endpoint endpoint);

Q_SIGNALS:
    // After the request was recorded and, unless held, answered.
    void requestReceived(const quellnet::AccountStandIn::Request &request);

private:
    friend class StandInServer;
    friend class StandInConnection;

    struct FailureReply
    {
        Failure failure = Failure::None;
        int status = 200;
        QByteArray body;
    };

    void acceptConnection();
    void handleRequest(StandInConnection *connection, Request request);
    void answer(StandInConnection *connection, Request &request);
    void answerLogin(StandInConnection *connection, Request &request);
    void answerProfile(StandInConnection *connection, Request &request);
    void answerFailure(StandInConnection *connection, Request &request, Endpoint endpoint);
    QByteArray issueToken();

    StandInServer *m_server = nullptr;
    QString m_errorString;
    QHash<QString, QString> m_accounts;
    QString m_profile;
    std::array<FailureReply, 2> m_failures;
    bool m_refuseTls = false;
    QList<Request> m_requests;
    QSet<QByteArray> m_tokens;
    QList<QByteArray> m_tokenOrder;
    int m_connectionCount = 0;
};

} // namespace quellnet
