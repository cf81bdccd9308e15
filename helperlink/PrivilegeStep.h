#pragma once

#include <QString>
#include <QStringList>

class QProcess;

namespace quellnet {

// How the helper's install step gets root. The program's own is PkexecPrivilegeStep: polkit asks
// for the administrator's authorisation. Tests stand in with steps that run the install step as
// the root they already are, or that refuse as a dismissed prompt does.
//
// Whatever the step, the process it sets up ends with the install step's own exit status, or with
// pkexec's: dismissedStatus when the prompt was dismissed, notAuthorizedStatus when the
// authorisation was refused or could not be asked for. The install step never uses those two.
class PrivilegeStep
{
public:
    static constexpr int dismissedStatus = 126;
    static constexpr int notAuthorizedStatus = 127;

    virtual ~PrivilegeStep() = default;

    // Sets up `process` (not started) to run `program` with `arguments` as root. False, with
    // `error` saying why, when the authorisation cannot be asked for at all.
    virtual bool prepare(
        QProcess &process, const QString &program, const QStringList &arguments, QString *error = nullptr) const = 0;
};

} // namespace quellnet
