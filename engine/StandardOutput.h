#pragma once

#include <QString>

#include <functional>

namespace quellnet {

// The program's standard output, which carries the management traffic: the commands sent to
// openvpn (or the command with its error), openvpn's log lines and whatever the management
// parser does not recognise. The management reader thread and the GUI thread both write here;
// each call is one locked write followed by a flush, so their messages never interleave.
//
// Safe to call from any thread. Never pass a password.
class StandardOutput
{
public:
    // Writes `text` exactly as given (UTF-8), nothing added.
    static void write(const QString &text);
    // Writes `line` followed by a line feed, as one message.
    static void writeLine(const QString &line);

    // Tests: receive every message written from now on, in addition to standard output, in the
    // order they were written. Pass an empty function to stop. The sink runs on the writing
    // thread while the writer is locked, so it must not write here itself.
    using Sink = std::function<void(const QString &text)>;
    static void setSinkForTesting(Sink sink);
};

} // namespace quellnet
