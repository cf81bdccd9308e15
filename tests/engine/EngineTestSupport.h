#pragma once

#include "NotificationCenter.h"
#include "OpenVPNService.h"
#include "StandardOutput.h"
#include "SystemLog.h"

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

private:
    mutable std::mutex m_mutex;
    QStringList m_texts;
};

using OutputCapture = Capture<StandardOutput>;
using LogCapture = Capture<SystemLog>;

// Observes OpenVPNStateDidChange like the login view: the state read on each notification.
class StateObserver : public QObject
{
public:
    StateObserver()
    {
        NotificationCenter::defaultCenter().addObserver(this, OpenVPNStateDidChange(), [this] {
            seen.append(OpenVPNService::shared().state());
            offGuiThread += QThread::currentThread() != QCoreApplication::instance()->thread();
        });
    }
    int offGuiThread = 0;
    QStringList seen;
};

inline void drainEvents()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QTest::qWait(10);
    }
}

} // namespace quellnet::test
