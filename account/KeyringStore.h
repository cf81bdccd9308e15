#pragma once

#include <QObject>
#include <QString>
#include <QThread>

#include <functional>

namespace quellnet {

// The desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC, ...) through qtkeychain: one
// password per account under the service name "quellnet".
//
// Every job runs on a thread of its own, one after the other in the order asked: qtkeychain's jobs
// are asynchronous, but picking the backend the first time asks D-Bus and waits for the answer
// (up to half a second on a Plasma desktop whose wallet daemon is still starting), which the GUI
// thread must never do. Each answer comes back on `context`'s thread (CallbackTarget), to the
// callback given with the request, and never once `context` is gone.
//
// Created and used on the GUI thread, once per process (CredentialStore's): jobs of a second
// store, started on its own thread, crash inside qtkeychain. Destroying the store drops the
// answers of the jobs still running.
class KeyringStore : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Done, // read, written or removed
        NotFound, // the keyring answered: no such entry
        Unreachable, // no Secret Service, a locked keyring left locked, or any other failure
    };
    struct Result
    {
        Outcome outcome = Outcome::Unreachable;
        QString password; // read only
        QString error; // Unreachable only: what the keyring said, never a secret
    };
    using Callback = std::function<void(const Result &result)>;

    explicit KeyringStore(QObject *parent = nullptr);
    ~KeyringStore() override;

    static QString serviceName();

    void read(const QString &account, QObject *context, Callback callback);
    void write(const QString &account, const QString &password, QObject *context, Callback callback);
    // Removing an entry that does not exist is Done.
    void remove(const QString &account, QObject *context, Callback callback);

private:
    enum class Kind { Read, Write, Remove };
    void start(Kind kind, const QString &account, const QString &password, QObject *context, Callback callback);

    QThread m_thread;
    QObject *m_worker = nullptr; // lives on m_thread
};

} // namespace quellnet
