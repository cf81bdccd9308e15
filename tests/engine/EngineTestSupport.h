#pragma once

#include "NotificationCenter.h"
#include "OpenVPNService.h"
#include "StandardOutput.h"
#include "SystemLog.h"
#include "TcpSocketTable.h"

#include <QCoreApplication>
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

using OutputCapture = Capture<StandardOutput>;
using LogCapture = Capture<SystemLog>;

// Observes OpenVPNStateDidChange like the login view does: counts the notifications, notes the
// state it reads on each, and how many arrived off the GUI thread.
class StateObserver : public QObject
{
public:
    StateObserver()
    {
        NotificationCenter::defaultCenter().addObserver(this, OpenVPNStateDidChange(), [this] {
            ++notifications;
            seen.append(OpenVPNService::shared().state());
            offGuiThread += QThread::currentThread() != QCoreApplication::instance()->thread();
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

// Waits until the loopback peer on `clientPort` has read everything sent from `serverPort`: the
// sender's queue is acknowledged and the receiver's is empty. A test that must hand the reader one
// chunk at a time waits for this between writes.
inline bool waitUntilRead(quint16 serverPort, quint16 clientPort, int timeoutMs = 5000)
{
    return QTest::qWaitFor(
        [&] {
            bool clientSeen = false;
            for (const TcpSocketTable::Entry &entry : TcpSocketTable::read()) {
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
