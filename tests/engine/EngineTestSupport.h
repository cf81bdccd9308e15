#pragma once

#include "NotificationCenter.h"
#include "OpenVPNService.h"
#include "StandardOutput.h"
#include "SystemLog.h"
#include "TcpSocketTable.h"

#include <QCoreApplication>
#include <QObject>
#include <QStringList>
#include <QTest>
#include <QThread>

#include <mutex>

namespace quellnet::test {

// Collects what one of the program's writers (StandardOutput, SystemLog) emits while it lives.
template<typename Writer> class Capture
{
public:
    Capture()
    {
        Writer::setSinkForTesting([this](const QString &text) {
            std::lock_guard lock(m_mutex);
            m_texts.append(text);
        });
    }
    ~Capture() { Writer::setSinkForTesting({}); }

    QStringList texts() const
    {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }
    QString joined() const { return texts().join(QString()); }
    qsizetype count(const QString &text) const { return texts().count(text); }

private:
    mutable std::mutex m_mutex;
    QStringList m_texts;
};

// Every message written to standard output (the management traffic), in order.
using OutputCapture = Capture<StandardOutput>;
// Every line written to the system log, in order.
using LogCapture = Capture<SystemLog>;

// Observes OpenVPNStateDidChange like the login view does: counts the notifications, notes the
// state it reads on each, and whether each arrived on the GUI thread.
class StateObserver : public QObject
{
public:
    StateObserver()
    {
        NotificationCenter::defaultCenter().addObserver(this, OpenVPNStateDidChange(), [this] {
            ++notifications;
            seen.append(OpenVPNService::shared().state());
            if (QThread::currentThread() != QCoreApplication::instance()->thread())
                ++offGuiThread;
        });
    }

    int notifications = 0;
    int offGuiThread = 0;
    QStringList seen;
};

// Lets queued notifications arrive.
inline void drainEvents()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QTest::qWait(10);
    }
}

// Waits until everything sent between the two ends of a loopback connection has arrived and
// been read by the receiving program: the sender's queue is acknowledged and the receiver's
// queue is empty. Returns false after `timeoutMs`.
inline bool waitUntilRead(quint16 serverPort, quint16 clientPort, int timeoutMs = 5000)
{
    constexpr quint32 loopback = 0x7F000001;
    return QTest::qWaitFor(
        [&] {
            bool clientSeen = false;
            for (const TcpSocketTable::Entry &entry : TcpSocketTable::read()) {
                if (entry.localAddress != loopback || entry.remoteAddress != loopback)
                    continue;
                if (entry.localPort == serverPort && entry.remotePort == clientPort && entry.txQueue != 0)
                    return false;
                if (entry.localPort == clientPort && entry.remotePort == serverPort) {
                    if (entry.rxQueue != 0)
                        return false;
                    clientSeen = true;
                }
            }
            return clientSeen;
        },
        timeoutMs);
}

} // namespace quellnet::test
