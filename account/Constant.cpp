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

const QString &Constant::extraCACertificate()
{
    static const QString path = QStringLiteral(QUELLNET_ACCOUNT_EXTRA_CA);
    return path;
}

} // namespace quellnet
