#pragma once

#include <QCoreApplication>
#include <QTest>

#include <functional>

namespace quellnet::test {

// Runs the calling thread's event loop until `done` holds, for at most `timeoutMs`, looking again
// every 10 ms at the latest; returns done().
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    return QTest::qWaitFor(done, timeoutMs);
}

// Lets what other threads queued for this thread arrive, as the program's event loop would.
inline void drainEvents()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QTest::qWait(10);
    }
}

} // namespace quellnet::test
