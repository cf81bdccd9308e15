// quellnet-notification-standin: a desktop notification service for the tests, on the session bus
// it finds (a private one: dbus-run-session). It owns org.freedesktop.Notifications and writes each
// notification it is given to standard output as one compact JSON line:
//   {"id":N,"replaces":N,"app":S,"icon":S,"summary":S,"body":S}
// after "ready" once it owns the name. It shows nothing, and serves until a signal ends it.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>

namespace {

class Notifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public Q_SLOTS:
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
        const QString &body, const QStringList & /*actions*/, const QVariantMap & /*hints*/, int /*expireTimeout*/)
    {
        // A replaced notification keeps its id, as desktop notification servers do.
        const uint id = replacesId != 0 ? replacesId : ++m_lastId;
        const QJsonObject line { { QStringLiteral("id"), qint64(id) },
            { QStringLiteral("replaces"), qint64(replacesId) }, { QStringLiteral("app"), appName },
            { QStringLiteral("icon"), appIcon }, { QStringLiteral("summary"), summary },
            { QStringLiteral("body"), body } };
        std::fprintf(stdout, "%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
        return id;
    }
    QStringList GetCapabilities() { return { QStringLiteral("body") }; }
    void CloseNotification(uint) { }
    QString GetServerInformation(QString &vendor, QString &version, QString &specVersion)
    {
        vendor = QStringLiteral("quellnet tests");
        version = QStringLiteral("1");
        specVersion = QStringLiteral("1.2");
        return QStringLiteral("quellnet-notification-standin");
    }

private:
    uint m_lastId = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    Notifications notifications;
    if (!bus.isConnected()
        || !bus.registerObject(
            QStringLiteral("/org/freedesktop/Notifications"), &notifications, QDBusConnection::ExportAllSlots)
        || !bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
        std::fprintf(stderr, "quellnet-notification-standin: cannot serve on the session bus: %s\n",
            qPrintable(bus.lastError().message()));
        return 1;
    }
    std::fprintf(stdout, "ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "notification_standin_main.moc"
