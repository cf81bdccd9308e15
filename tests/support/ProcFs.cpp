#include "tests/support/ProcFs.h"

#include <QDir>
#include <QFile>

namespace quellnet::test {

namespace {

// The number after "Name:" in a /proc status-like text; -1 when there is none.
qint64 field(const QByteArray &text, const QByteArray &name)
{
    const qsizetype at = text.indexOf("\n" + name + ":");
    if (at < 0)
        return -1;
    const QByteArray rest = text.mid(at + name.size() + 2);
    return rest.left(rest.indexOf('\n')).simplified().split(' ').value(0).toLongLong();
}

// A stat file's fields after the command name (which may hold blanks and parentheses): the state
// is field 3, utime field 14.
QList<QByteArray> statFields(const QByteArray &stat)
{
    const qsizetype close = stat.lastIndexOf(')');
    return close < 0 ? QList<QByteArray>() : stat.mid(close + 2).split(' ');
}

} // namespace

QByteArray ProcFs::read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool ProcFs::isRunning(qint64 pid)
{
    const QList<QByteArray> fields = statFields(read(QStringLiteral("/proc/%1/stat").arg(pid)));
    return pid > 0 && !fields.isEmpty() && fields.first() != "Z";
}

QList<qint64> ProcFs::withArgument(const QByteArray &argument)
{
    QList<qint64> pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const qint64 pid = entry.toLongLong();
        if (pid <= 0 || !isRunning(pid))
            continue;
        for (const QByteArray &given : read(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0')) {
            if (given == argument || given.startsWith(argument + ' ')) {
                pids.append(pid);
                break;
            }
        }
    }
    return pids;
}

bool ProcFs::catchesSignal(qint64 pid, int signal)
{
    const QByteArray status = read(QStringLiteral("/proc/%1/status").arg(pid));
    const qsizetype at = status.indexOf("\nSigCgt:");
    if (at < 0 || signal < 1 || signal > 64)
        return false;
    const QByteArray rest = status.mid(at + 8);
    bool ok = false;
    const quint64 mask = rest.left(rest.indexOf('\n')).trimmed().toULongLong(&ok, 16);
    return ok && (mask & (quint64(1) << (signal - 1))) != 0;
}

ProcFs::Memory ProcFs::memory(qint64 pid)
{
    const QByteArray status = "\n" + read(QStringLiteral("/proc/%1/status").arg(pid));
    Memory memory;
    memory.rssKb = field(status, "VmRSS");
    memory.anonKb = field(status, "RssAnon");
    memory.fileKb = field(status, "RssFile");
    memory.shmemKb = field(status, "RssShmem");
    memory.hwmKb = field(status, "VmHWM");
    memory.pssKb = field("\n" + read(QStringLiteral("/proc/%1/smaps_rollup").arg(pid)), "Pss");
    return memory;
}

std::map<qint64, ProcFs::Thread> ProcFs::threads(qint64 pid)
{
    std::map<qint64, Thread> threads;
    const QString base = QStringLiteral("/proc/%1/task/").arg(pid);
    for (const QString &tid : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QList<QByteArray> fields = statFields(read(base + tid + QStringLiteral("/stat")));
        if (fields.size() < 13)
            continue;
        Thread thread;
        thread.name = QString::fromUtf8(read(base + tid + QStringLiteral("/comm")).trimmed());
        thread.ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
        thread.runNs = read(base + tid + QStringLiteral("/schedstat")).split(' ').value(0).toLongLong();
        const QByteArray status = "\n" + read(base + tid + QStringLiteral("/status"));
        thread.voluntarySwitches = field(status, "voluntary_ctxt_switches");
        thread.involuntarySwitches = field(status, "nonvoluntary_ctxt_switches");
        threads[tid.toLongLong()] = thread;
    }
    return threads;
}

} // namespace quellnet::test
