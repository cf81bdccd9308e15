#include "base/SystemLog.h"

#include <mutex>

#include <syslog.h>

namespace quellnet {

namespace {

std::mutex &sinkMutex()
{
    static std::mutex mutex;
    return mutex;
}

SystemLog::Sink &sink()
{
    static SystemLog::Sink instance;
    return instance;
}

} // namespace

void SystemLog::write(const QString &line)
{
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("quellnet", LOG_PID | LOG_PERROR, LOG_USER); });

    const QByteArray utf8 = line.toUtf8();
    syslog(LOG_NOTICE, "%s", utf8.constData());

    std::lock_guard lock(sinkMutex());
    if (sink())
        sink()(line);
}

void SystemLog::setSinkForTesting(Sink newSink)
{
    std::lock_guard lock(sinkMutex());
    sink() = std::move(newSink);
}

} // namespace quellnet
