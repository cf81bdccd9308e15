#pragma once

#include "helperlink/PrivilegeStep.h"

namespace quellnet {

// Runs a program as root through pkexec, which has polkit ask for the administrator's password
// (the action for the helper's install step carries its own message). pkexec sets PKEXEC_UID to
// the asking user, which is how the install step learns whom to record.
class PkexecPrivilegeStep final : public PrivilegeStep
{
public:
    // `pkexec`: a program name looked up in PATH, or a path.
    explicit PkexecPrivilegeStep(QString pkexec = QStringLiteral("pkexec"));

    bool prepare(QProcess &process, const QString &program, const QStringList &arguments,
        QString *error = nullptr) const override;

private:
    QString m_pkexec;
};

} // namespace quellnet
