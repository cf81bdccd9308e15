#include "tests/support/ProgramProcess.h"

#include <QDir>
#include <QFile>
#include <QSettings>

namespace quellnet::test {

ProgramProcess::ProgramProcess(const QString &program, const QString &home, const QString &platform)
    : m_home(home), m_environment(QProcessEnvironment::systemEnvironment())
{
    setProgram(program);
    if (home.isEmpty())
        return;
    QDir().mkpath(home + QStringLiteral("/config/quellnet"));
    QDir().mkpath(home + QStringLiteral("/runtime"));
    QFile::setPermissions(home + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    m_environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
    m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
}

ProgramProcess::~ProgramProcess()
{
    stop();
}

bool ProgramProcess::rememberCredentials(const QString &email, const QString &password)
{
    const QString path = m_home + QStringLiteral("/config/quellnet/quellnet.conf");
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue(QStringLiteral("email"), email);
    settings.setValue(QStringLiteral("password"), password);
    settings.sync();
    return settings.status() == QSettings::NoError && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
}

void ProgramProcess::setEnvironmentValue(const QString &name, const QString &value)
{
    m_environment.insert(name, value);
}

void ProgramProcess::start()
{
    setProcessEnvironment(m_environment);
    setStandardInputFile(QProcess::nullDevice());
    QProcess::start();
}

QStringList ProgramProcess::readErrorLines()
{
    // Also what came while nobody ran the event loop.
    setReadChannel(QProcess::StandardError);
    waitForReadyRead(0);
    m_partialLine += readAllStandardError();
    QStringList lines;
    for (qsizetype end = m_partialLine.indexOf('\n'); end >= 0; end = m_partialLine.indexOf('\n')) {
        lines.append(QString::fromLocal8Bit(m_partialLine.left(end)));
        m_partialLine.remove(0, end + 1);
    }
    return lines;
}

void ProgramProcess::stop(int timeoutMs)
{
    if (state() == QProcess::NotRunning)
        return;
    terminate();
    if (!waitForFinished(timeoutMs)) {
        kill();
        waitForFinished(timeoutMs);
    }
}

} // namespace quellnet::test
