#pragma once

#include "LocalHelperConnection.h"
#include "PrivilegeStep.h"

#include <QProcess>

#include <atomic>
#include <memory>

// What the application's launch talks to in its tests: no helper at all, and a stand-in for pkexec.

// A connection to a helper that is not there: the launch's check then asks for an installation.
inline quellnet::HelperConnectionPtr unreachableHelper()
{
    return std::make_shared<quellnet::LocalHelperConnection>(QStringLiteral("/nonexistent/quellnet-helper.sock"));
}

// Stands in for pkexec. It either runs the real install step as the
// root the tests run as, below a temporary root and for the user pkexec would name, or runs a
// shell command in its place: "exit 0" for an install that succeeds at once, "exit 126" for a
// dismissed prompt. `prompts` counts the authorisations asked for.
class StandInPrivilegeStep final : public quellnet::PrivilegeStep
{
public:
    static constexpr int askingUid = 4242;

    static std::unique_ptr<StandInPrivilegeStep> installingInto(
        const QString &root, std::atomic<int> *prompts = nullptr)
    {
        return std::make_unique<StandInPrivilegeStep>(root, QString(), prompts);
    }
    static std::unique_ptr<StandInPrivilegeStep> running(const QString &shell, std::atomic<int> *prompts = nullptr)
    {
        return std::make_unique<StandInPrivilegeStep>(QString(), shell, prompts);
    }

    StandInPrivilegeStep(QString root, QString shell, std::atomic<int> *prompts)
        : m_root(std::move(root)), m_shell(std::move(shell)), m_prompts(prompts)
    { }

    bool prepare(QProcess &process, const QString &program, const QStringList &arguments, QString &) const override
    {
        if (m_prompts != nullptr)
            ++*m_prompts;
        if (!m_shell.isEmpty()) {
            process.setProgram(QStringLiteral("/bin/sh"));
            process.setArguments({ QStringLiteral("-c"), m_shell });
            return true;
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PKEXEC_UID"), QString::number(askingUid));
        process.setProcessEnvironment(environment);
        process.setProgram(program);
        process.setArguments(arguments + QStringList { QStringLiteral("--root"), m_root });
        return true;
    }

private:
    QString m_root;
    QString m_shell;
    std::atomic<int> *m_prompts;
};
