#include "helperlink/ShippedHelper.h"

#include "base/Error.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace quellnet {

std::optional<QString> ShippedHelper::bundleVersion(const QString &path, QString *error)
{
    QProcess helper;
    helper.setProgram(path);
    helper.setArguments({ QStringLiteral("--info") });
    helper.setStandardInputFile(QProcess::nullDevice());
    helper.setStandardErrorFile(QProcess::nullDevice());
    const QDeadlineTimer deadline(timeoutMs);
    helper.start();
    if (!helper.waitForStarted(int(deadline.remainingTime()))) {
        failWith(error, QStringLiteral("%1 cannot be run: %2").arg(path, helper.errorString()));
        return std::nullopt;
    }
    if (!helper.waitForFinished(int(deadline.remainingTime()))) {
        helper.kill();
        helper.waitForFinished(1000);
        failWith(error, QStringLiteral("%1 --info did not answer within %2 ms").arg(path).arg(timeoutMs));
        return std::nullopt;
    }
    if (helper.exitStatus() != QProcess::NormalExit || helper.exitCode() != 0) {
        failWith(error, QStringLiteral("%1 --info failed").arg(path));
        return std::nullopt;
    }

    const QJsonDocument information = QJsonDocument::fromJson(helper.read(64 * 1024));
    const QJsonValue version = information.object().value(QLatin1String("CFBundleVersion"));
    if (!information.isObject() || !version.isString()) {
        failWith(error, QStringLiteral("%1 --info holds no \"CFBundleVersion\" string").arg(path));
        return std::nullopt;
    }
    return version.toString();
}

} // namespace quellnet
