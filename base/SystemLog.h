#pragma once

#include <QString>

#include <functional>

namespace quellnet {

// The program's system log: syslog(3) with the ident "quellnet", which journald keeps. Every line
// is also written to standard error, so a person running the program from a terminal (or the
// demo) sees the same lines. Each call is one log line, written as plain text, never as a format.
//
// Safe to call from any thread. Never pass a password, a token or a profile's configuration.
class SystemLog
{
public:
    static void write(const QString &line);

    // Tests: receive every line written from now on, in addition to syslog. Pass an empty
    // function to stop. The sink runs on the writing thread.
    using Sink = std::function<void(const QString &line)>;
    static void setSinkForTesting(Sink sink);
};

} // namespace quellnet
