#include "base/AppPaths.h"

#include <QCoreApplication>
#include <QDir>

#include <mutex>

namespace quellnet {

namespace {

std::mutex &prefixMutex()
{
    static std::mutex mutex;
    return mutex;
}

QString &explicitPrefix()
{
    static QString value;
    return value;
}

} // namespace

QString AppPaths::prefix()
{
    {
        std::lock_guard lock(prefixMutex());
        if (!explicitPrefix().isEmpty())
            return explicitPrefix();
    }
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
}

void AppPaths::setPrefixForTesting(const QString &prefix)
{
    std::lock_guard lock(prefixMutex());
    explicitPrefix() = prefix;
}

QString AppPaths::resource(const QString &fileName)
{
    return prefix() + QStringLiteral("/share/quellnet/") + fileName;
}

QString AppPaths::shippedHelper()
{
    return prefix() + QStringLiteral("/lib/quellnet/") + QStringLiteral(QUELLNET_HELPER_ID);
}

} // namespace quellnet
