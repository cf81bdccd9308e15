#include "engine/StandardOutput.h"

#include <cstdio>
#include <mutex>

namespace quellnet {

namespace {

std::mutex &writerMutex()
{
    static std::mutex mutex;
    return mutex;
}

StandardOutput::Sink &sink()
{
    static StandardOutput::Sink instance;
    return instance;
}

} // namespace

void StandardOutput::write(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    std::lock_guard lock(writerMutex());
    std::fwrite(utf8.constData(), 1, static_cast<std::size_t>(utf8.size()), stdout);
    std::fflush(stdout);
    if (sink())
        sink()(text);
}

void StandardOutput::writeLine(const QString &line)
{
    write(line + u'\n');
}

void StandardOutput::setSinkForTesting(Sink newSink)
{
    std::lock_guard lock(writerMutex());
    sink() = std::move(newSink);
}

} // namespace quellnet
