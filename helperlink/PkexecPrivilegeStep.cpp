#include "helperlink/PkexecPrivilegeStep.h"

#include "base/Error.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace quellnet {

PkexecPrivilegeStep::PkexecPrivilegeStep(QString pkexec) : m_pkexec(std::move(pkexec)) { }

bool PkexecPrivilegeStep::prepare(
    QProcess &process, const QString &program, const QStringList &arguments, QString *error) const
{
    const QString pkexec = m_pkexec.contains(QLatin1Char('/')) ? m_pkexec : QStandardPaths::findExecutable(m_pkexec);
    if (pkexec.isEmpty() || !QFileInfo(pkexec).isExecutable())
        return failWith(error,
            QStringLiteral("pkexec is not installed (Debian package \"pkexec\"), so the administrator's "
                           "authorization cannot be asked for."));
    process.setProgram(pkexec);
    process.setArguments(QStringList { program } + arguments);
    return true;
}

} // namespace quellnet
