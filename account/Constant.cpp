#include "account/Constant.h"

namespace quellnet {

const QString &Constant::baseURL()
{
    static const QString url = QStringLiteral(QUELLNET_ACCOUNT_BASE_URL);
    return url;
}

const QString &Constant::loginURL()
{
    static const QString url = baseURL() + QStringLiteral("login");
    return url;
}

const QString &Constant::profileURL()
{
    static const QString url = baseURL() + QStringLiteral("profile");
    return url;
}

namespace {

QString &extraCA()
{
    static QString path = QStringLiteral(QUELLNET_ACCOUNT_EXTRA_CA);
    return path;
}

} // namespace

const QString &Constant::extraCACertificate()
{
    return extraCA();
}

void Constant::setExtraCACertificateForTesting(const QString &path)
{
    extraCA() = path;
}

} // namespace quellnet
