#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <array>

class QSslServer;
class QTcpSocket;

namespace quellnet::test {

// A local HTTPS stand-in for the provider's account service, for tests and the demo. It listens on
// 127.0.0.1 with a real certificate and speaks HTTP/1.1, one request per connection:
//   POST /api/login                     JSON {"email","password"} of a known account
//                                       -> 200 {"access_token": <fresh random token>}, otherwise 401
//   GET  /api/profile?country_code=CH   "Authorization: Bearer <a token it issued>"
//                                       -> 200 {"config": <the profile text>}, otherwise 401
// A request of another shape gets 400, 404, 405 or 415, as the real service would answer it, so a
// client that gets its requests slightly wrong fails here too.
//
// Every request's path is recorded as it arrived. Each endpoint can be told to answer with a chosen failure
// instead of its normal reply, until told otherwise. Works on the creating thread's event loop.
class AccountStandIn
{
public:
    enum class Endpoint { Login, Profile };

    // Where it makes sense the bodies carry a token that works, or the real profile, just not in the
    // shape a client must insist on, so that a lenient client would be fooled.
    enum class Failure {
        None, // the normal reply
        Status, // the status and body given to setFailureReply()
        EmptyBody, // 200 with Content-Length: 0
        NotJson, // 200, "access_token=<token>" / the bare profile text
        JsonScalar, // 200, a top-level JSON string: the token / the profile
        MissingMember, // 200, an object with the token / profile under another name
        NonStringMember, // 200, "access_token" / "config" is a number
        Oversized, // 200, the normal reply padded to 4 MiB + 1 byte
        NoAnswer, // reads the request and never answers; the connection stays open
        CloseMidReply, // the full Content-Length announced, half the body sent, then a close
    };

    AccountStandIn() = default;
    ~AccountStandIn() { close(); }
    AccountStandIn(const AccountStandIn &) = delete;
    AccountStandIn &operator=(const AccountStandIn &) = delete;

    // Listens on 127.0.0.1 with PEM files (the key EC or RSA, unencrypted); port 0 picks a free one.
    // False, with `error` saying why, when it cannot.
    bool listen(const QString &certificatePath, const QString &keyPath, quint16 port = 0, QString *error = nullptr);
    // Stops listening and drops every connection, held ones included.
    void close();
    // https://127.0.0.1:<port>/api/
    QUrl baseUrl() const;

    // Accounts compare exactly: no trimming, no case folding.
    void addAccount(const QString &email, const QString &password) { m_accounts.insert(email, password); }
    void setProfile(const QString &config) { m_profile = config; }

    void setFailure(Endpoint endpoint, Failure failure) { m_failures[index(endpoint)] = { failure, 200, {} }; }
    // Failure::Status with this final status (200 to 599) and JSON body.
    void setFailureReply(Endpoint endpoint, int status, const QByteArray &body)
    {
        m_failures[index(endpoint)] = { Failure::Status, status, body };
    }
    // Every failure back to None.
    void clearFailures() { m_failures = {}; }

    // The paths of the requests so far, of all or of the endpoint's.
    QList<QByteArray> requests() const { return m_paths; }
    QList<QByteArray> requests(Endpoint endpoint) const
    {
        return QList<QByteArray>(m_paths.count(pathOf(endpoint)), pathOf(endpoint));
    }
    void clearRequests() { m_paths.clear(); }

private:
    struct FailureReply
    {
        Failure failure = Failure::None;
        int status = 200;
        QByteArray body;
    };

    struct Request
    {
        QByteArray method, path, query, body;
        QHash<QByteArray, QByteArray> headers; // names in lower case
    };

    static std::size_t index(Endpoint endpoint) { return static_cast<std::size_t>(endpoint); }
    static QByteArray pathOf(Endpoint endpoint) { return endpoint == Endpoint::Login ? "/api/login" : "/api/profile"; }
    void acceptConnections();
    void readRequest(QTcpSocket *socket);
    // The status and body for `request`; status 0 holds the connection without an answer.
    QPair<int, QByteArray> answer(const Request &request, bool &cutShort);
    QPair<int, QByteArray> answerFailure(const FailureReply &chosen, Endpoint endpoint, bool &cutShort);
    QByteArray issueToken();

    QSslServer *m_server = nullptr;
    QHash<QString, QString> m_accounts;
    QString m_profile;
    std::array<FailureReply, 2> m_failures;
    QList<QByteArray> m_paths; // of the requests so far
    QList<QByteArray> m_tokens;
};

} // namespace quellnet::test
