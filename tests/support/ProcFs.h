#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <map>

namespace quellnet::test {

// What the kernel tells about processes in /proc, as the end-to-end tests and the benchmarks read
// it: whether a process still runs, which processes were started with a given argument, and a
// process's memory and its threads' CPU time and context switches.
class ProcFs
{
public:
    struct Memory
    {
        // In kB, from status (VmRSS, RssAnon, RssFile, RssShmem, VmHWM) and smaps_rollup (Pss);
        // -1 where a field is missing.
        qint64 rssKb = -1;
        qint64 anonKb = -1;
        qint64 fileKb = -1;
        qint64 shmemKb = -1;
        qint64 pssKb = -1;
        qint64 hwmKb = -1;
    };

    struct Thread
    {
        QString name;
        qint64 ticks = 0; // utime + stime, in clock ticks
        qint64 runNs = 0; // time on a CPU (schedstat)
        qint64 voluntarySwitches = 0;
        qint64 involuntarySwitches = 0;
    };

    // The whole file; empty when it cannot be read.
    static QByteArray read(const QString &path);
    // Whether `pid` exists and has not ended: a zombie has ended, whoever reaps it and when.
    static bool isRunning(qint64 pid);
    // The running processes whose command line holds `argument` as one of its arguments, or as the
    // first word of one (a script followed by its parameters, as openvpn's --route-up takes it).
    static QList<qint64> withArgument(const QByteArray &argument);
    // Whether `pid` has a handler of its own for `signal` (SigCgt): until it has, a signal whose
    // default ends a process ends it at once, even while it is stopped.
    static bool catchesSignal(qint64 pid, int signal);
    static Memory memory(qint64 pid);
    // The threads of `pid`, by thread id.
    static std::map<qint64, Thread> threads(qint64 pid);
};

} // namespace quellnet::test
