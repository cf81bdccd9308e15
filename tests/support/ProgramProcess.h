#pragma once

#include <QProcess>
#include <QStringList>

namespace quellnet::test {

// A program of this build, the quellnet executable mostly, started as a child process the way a
// person starts it, but with a settings folder and a runtime folder of its own under `home`
// (XDG_CONFIG_HOME=home/config, XDG_RUNTIME_DIR=home/runtime, private), so that it neither reads
// nor changes anyone's remembered credentials and meets no other running instance except one
// started with the same `home`. What it writes to standard error (the system log's copy among
// it) can be read line by line. Stopped, if it still runs, when destroyed.
class ProgramProcess : public QProcess
{
public:
    // `platform`: the Qt platform plugin it runs on (QT_QPA_PLATFORM).
    ProgramProcess(const QString &program, const QString &home, const QString &platform = QStringLiteral("offscreen"));
    ~ProgramProcess() override;

    // Settings that hold `email` and `password` as remembered credentials, as the program itself
    // writes them; before start().
    bool rememberCredentials(const QString &email, const QString &password);
    // Adds or replaces a variable of the environment it starts with; before start().
    void setEnvironmentValue(const QString &name, const QString &value);
    // Starts it without arguments, standard input from /dev/null.
    void start();

    // The complete lines written to standard error since the last call.
    QStringList readErrorLines();
    // SIGTERM, then SIGKILL when it has not ended within `timeoutMs`.
    void stop(int timeoutMs = 5000);

private:
    const QString m_home;
    QProcessEnvironment m_environment;
    QByteArray m_partialLine;
};

} // namespace quellnet::test
