#include "app/DesktopNotifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLoggingCategory>
#include <QStringList>
#include <QVariantMap>

namespace quellnet {

Q_LOGGING_CATEGORY(lcNotifications, "quellnet.notifications", QtInfoMsg)

DesktopNotifications::DesktopNotifications(QObject *parent) : QObject(parent) { }

void DesktopNotifications::show(const QString &summary, const QString &body, std::function<void(bool)> done)
{
    const auto finish = [done = std::move(done)](bool delivered) {
        if (done)
            done(delivered);
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCInfo(lcNotifications) << "no session bus for a notification:" << bus.lastError().message();
        QMetaObject::invokeMethod(
            this, [finish] { finish(false); }, Qt::QueuedConnection);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"), QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the
    // server's default).
    call << QStringLiteral("Quellnet") << m_shownId << QStringLiteral("quellnet") << summary << body << QStringList()
         << QVariantMap { { QStringLiteral("desktop-entry"), QStringLiteral("quellnet") } } << qint32(-1);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, finish](QDBusPendingCallWatcher *answered) {
        answered->deleteLater();
        const QDBusPendingReply<uint> reply = *answered;
        if (reply.isError()) {
            qCInfo(lcNotifications) << "the notification was not shown:" << reply.error().message();
            finish(false);
            return;
        }
        m_shownId = reply.value();
        finish(true);
    });
}

} // namespace quellnet
