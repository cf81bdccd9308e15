#pragma once

#include "tests/helper/HelperTestSupport.h"

#include <QProcess>
#include <QStringList>

#include <optional>

namespace quellnet::test {

// The program as a process of its own, as a person runs it: quellnet-e2e-program (the program's own
// main function with a remote control, see remote_program.cpp), offscreen, started as the user `uid`.
// So that any user can run it, it runs from a copy of the build's program layout (stage()), and gets
// a home of its own that belongs to that user: HOME=<home>, settings in <home>/config, the runtime
// folder <home>/runtime (0700). Quitting it and launching another on the same home is what a person's
// relaunch is. Killed, if it still runs, when destroyed.
//
// Waits run the calling thread's event loop. GUI thread only.
class RemoteProgram : public QProcess
{
public:
    struct Event
    {
        qint64 ms = 0; // the monotonic clock, in milliseconds
        QString kind; // shown, titles, state, sheet
        QString detail;
    };

    // Copies quellnet-e2e-program, share/quellnet and lib/quellnet of this build under `dir` (which it
    // makes), readable by everyone.
    static bool stage(const QString &dir, QString *error = nullptr);
    // Makes `home` the home of `uid`, with settings that hold `email` and `password` as remembered
    // credentials (as the program writes them, without a keyring) when `email` is not empty.
    static bool makeHome(const QString &home, uid_t uid, const QString &email = {}, const QString &password = {},
        QString *error = nullptr);

    RemoteProgram(const QString &stageDir, const QString &home, uid_t uid);
    ~RemoteProgram() override;

    // Adds or replaces a variable of the environment it starts with; before launch().
    void setEnvironmentValue(const QString &name, const QString &value);
    // Gives it a /tmp of its own, an empty tmpfs in a mount namespace of its own, into which the
    // folders `kept` (its stage and home, say) are carried over; before launch(). What lies in that
    // /tmp is reached through tmpPath().
    void usePrivateTmp(const QStringList &kept);
    // `name` in its /tmp, as this process reaches it (through /proc/<pid>/root); while it runs.
    QString tmpPath(const QString &name) const;
    bool launch(QString *error = nullptr);
    // One command of the remote control ("click", "quit", ...).
    void command(const QByteArray &line);

    // The first event of `kind` (with `detail`, unless that is null) that came after event number
    // `from`, waiting up to `timeoutMs` for it.
    std::optional<Event> waitFor(const QString &kind, const QString &detail = {}, int timeoutMs = 30000, int from = 0);
    QList<Event> events();
    // Its lines on standard error that are not the remote control's: the system log's copy, mostly.
    QStringList logLines();
    QByteArray standardOutput();
    // "Beenden" in the tray menu, and waits for the program to end; whether it ended with status 0.
    bool quit(int timeoutMs = 15000);

private:
    void takeOutput();

    Identity m_identity;
    bool m_privateTmp = false;
    QStringList m_kept; // carried into the private /tmp
    QByteArray m_tmpMountPoint; // where the private /tmp is made before it is moved there
    QProcessEnvironment m_environment;
    QByteArray m_partialLine;
    QList<Event> m_events;
    QStringList m_logLines;
    QByteArray m_standardOutput;
};

} // namespace quellnet::test
