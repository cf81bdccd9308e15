#include "app/Autostart.h"

#include "base/Error.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace quellnet {

namespace {

// A desktop entry's string values escape the backslash.
QString escapedValue(QString value)
{
    return value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
}

// One argument of an Exec line: quoted when it holds a character the desktop would otherwise take
// for its own, with the characters special inside quotes escaped; "%" is doubled, as Exec asks.
QString execArgument(const QString &argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString quoted = argument;
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    const bool needsQuotes
        = std::any_of(argument.cbegin(), argument.cend(), [](QChar c) { return reserved.contains(c); });
    if (needsQuotes) {
        QString inner;
        for (const QChar c : std::as_const(quoted)) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
                inner += QLatin1Char('\\');
            inner += c;
        }
        quoted = QLatin1Char('"') + inner + QLatin1Char('"');
    }
    return escapedValue(quoted);
}

} // namespace

QString Autostart::entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/quellnet.desktop");
}

QString Autostart::launchOption()
{
    return QStringLiteral("--autostart");
}

QString Autostart::entryText(const QString &program)
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Quellnet\n"
                          "Comment=Connect to the Quellnet VPN\n"
                          "Comment[de]=Mit dem Quellnet-VPN verbinden\n"
                          "Exec=%1 %2\n"
                          "TryExec=%3\n"
                          "Icon=quellnet\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(execArgument(program), launchOption(), escapedValue(program));
}

bool Autostart::isEnabled()
{
    QFile entry(entryPath());
    if (!entry.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    const QByteArray text = entry.read(64 * 1024);
    for (const QByteArray &line : text.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed == "Hidden=true" || trimmed == "X-GNOME-Autostart-enabled=false")
            return false;
    }
    return true;
}

bool Autostart::setEnabled(bool enabled, QString *error)
{
    const QString path = entryPath();
    if (!enabled) {
        QFile entry(path);
        if (!entry.exists() || entry.remove())
            return true;
        return failWith(error, QStringLiteral("cannot remove %1: %2").arg(path, entry.errorString()));
    }

    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return failWith(error, QStringLiteral("cannot create the folder of %1").arg(path));
    QSaveFile entry(path);
    if (!entry.open(QIODevice::WriteOnly | QIODevice::Text)
        || entry.write(entryText(QCoreApplication::applicationFilePath()).toUtf8()) < 0 || !entry.commit())
        return failWith(error, QStringLiteral("cannot write %1: %2").arg(path, entry.errorString()));
    return true;
}

} // namespace quellnet
