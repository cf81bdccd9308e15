#include "account/AccountClient.h"

#include "account/AccountLog.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace quellnet {

namespace {

// Qt reports failures of the network layer itself (refused, closed, TLS, time-out, cancelled)
// with codes below 100; protocol and HTTP status failures have higher codes and a real answer.
bool isNetworkLayerError(QNetworkReply::NetworkError error)
{
    return error != QNetworkReply::NoError && error < 100;
}

} // namespace

AccountClient::AccountClient(QObject *parent)
    : QObject(parent)
{
    // Nothing remembered between sign-ins: no cookies, no cache.
    m_network.setCookieJar(nullptr);
    m_network.setCache(nullptr);
}

void AccountClient::addCaCertificates(const QList<QSslCertificate> &certificates)
{
    m_extraCaCertificates += certificates;
}

void AccountClient::postJson(const QString &url, const QJsonObject &parameters, Completion completion)
{
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QSslConfiguration tls = request.sslConfiguration();
    if (!m_extraCaCertificates.isEmpty())
        tls.addCaCertificates(m_extraCaCertificates);
    request.setSslConfiguration(tls);
    const QByteArray body = QJsonDocument(parameters).toJson(QJsonDocument::Compact);
    send(m_network.post(request, body), std::move(completion));
}

void AccountClient::getWithAuthorization(const QString &url, const QString &authorization, Completion completion)
{
    QNetworkRequest request{QUrl(url)};
    request.setRawHeader("Authorization", authorization.toUtf8());
    QSslConfiguration tls = request.sslConfiguration();
    if (!m_extraCaCertificates.isEmpty())
        tls.addCaCertificates(m_extraCaCertificates);
    request.setSslConfiguration(tls);
    send(m_network.get(request), std::move(completion));
}

void AccountClient::closeIdleConnections()
{
    // Queued: this may be called from a reply's completion, while that reply is still being
    // delivered.
    QMetaObject::invokeMethod(this, [this] { m_network.clearConnectionCache(); }, Qt::QueuedConnection);
}

void AccountClient::send(QNetworkReply *reply, Completion completion)
{
    struct Pending
    {
        QByteArray body;
        bool timedOut = false;
        bool oversized = false;
    };
    auto pending = std::make_shared<Pending>();

    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply, pending] {
        pending->timedOut = true;
        reply->abort();
    });
    deadline->start(m_timeoutMs);

    // Read as the body arrives, so an endless reply is cut off at the limit instead of being
    // buffered whole.
    connect(reply, &QNetworkReply::readyRead, reply, [reply, pending] {
        if (pending->oversized)
            return;
        pending->body += reply->readAll();
        if (pending->body.size() > kMaxBodyBytes) {
            pending->oversized = true;
            pending->body.clear();
            reply->abort();
        }
    });

    connect(reply, &QNetworkReply::finished, this, [this, reply, pending, completion = std::move(completion)] {
        reply->deleteLater();
        if (!pending->oversized && reply->isOpen())
            pending->body += reply->readAll();

        ReplyRecord record;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (pending->timedOut) {
            qCInfo(lcAccount) << "no answer within" << m_timeoutMs << "ms from" << reply->url().host();
        } else if (pending->oversized) {
            qCInfo(lcAccount) << "reply body over" << kMaxBodyBytes << "bytes from" << reply->url().host();
            record.hasResponse = status.isValid();
            record.status = status.toInt();
        } else if (!status.isValid() || isNetworkLayerError(reply->error())) {
            qCInfo(lcAccount) << "request failed:" << reply->errorString();
        } else {
            record.hasResponse = true;
            record.status = status.toInt();
            record.body = std::move(pending->body);
            record.success = record.status >= 200 && record.status < 300
                && readJsonLeniently(record.body, &record.value);
        }
        completion(record);
    });
}

bool AccountClient::readJsonLeniently(const QByteArray &body, QJsonValue *value)
{
    // QJsonDocument takes only an object or an array at the top; a one-element array around the
    // body reads every JSON value, and anything after the value makes it fail.
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson("[" + body + "]", &error);
    if (error.error != QJsonParseError::NoError || !document.isArray() || document.array().size() != 1)
        return false;
    *value = document.array().first();
    return true;
}

} // namespace quellnet
