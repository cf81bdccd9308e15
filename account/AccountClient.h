#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <functional>

namespace quellnet {

// One reply of the account service, as the sign-in steps see it.
struct ReplyRecord
{
    // The server answered with an HTTP status (any status). False when the request failed before
    // an answer: no network, refused, TLS failure, the connection lost, or no answer in time.
    bool hasResponse = false;
    int status = 0;
    QByteArray body;
    // Status 200 to 299 and a body that reads as JSON, where a bare string, number, true, false
    // or null counts too. `value` holds what was read.
    bool success = false;
    QJsonValue value;
};

// HTTPS requests to the account service through Qt's network access manager. Replies arrive on
// the thread that owns the client (the GUI thread), always exactly once per request.
//
// TLS is always verified: against the system's CAs, or, in a build that names an extra CA (the
// local stand-in of the demo and the tests), against that CA. A request that is not answered within 30 s, and a reply
// body over 4 MiB, are failures.
class AccountClient : public QObject
{
    Q_OBJECT

public:
    using Completion = std::function<void(const ReplyRecord &reply)>;

    static constexpr int kTimeoutMs = 30000;
    static constexpr qint64 kMaxBodyBytes = 4 * 1024 * 1024;

    explicit AccountClient(QObject *parent = nullptr);

    // Trusts `certificates`, and with them no longer the system's CAs: Qt loads those on demand
    // only while a configuration names no CA of its own. The program calls this with the build's
    // extra CA, if any; tests with their own.
    void addCaCertificates(const QList<QSslCertificate> &certificates);
    // Tests shorten the 30 s wait for an answer.
    void setTimeoutForTesting(int milliseconds) { m_timeoutMs = milliseconds; }

    // POST with `parameters` as one compact JSON object, sent as application/json.
    void postJson(const QString &url, const QJsonObject &parameters, Completion completion);
    // GET without a body; `authorization` becomes the request's only header of its own.
    void getWithAuthorization(const QString &url, const QString &authorization, Completion completion);

    // Once control is back in the event loop: closes the connections kept open for further requests
    // and ends Qt's HTTP thread, which frees what they cached (TLS sessions among others); the next
    // request connects afresh.
    void closeIdleConnections();

    // Reads `body` as JSON, accepting a top-level scalar as well as an object or array.
    static bool readJsonLeniently(const QByteArray &body, QJsonValue *value);

private:
    void send(QNetworkReply *reply, Completion completion);

    QNetworkAccessManager m_network;
    QList<QSslCertificate> m_extraCaCertificates;
    int m_timeoutMs = kTimeoutMs;
};

} // namespace quellnet
