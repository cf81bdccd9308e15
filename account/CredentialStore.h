#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace quellnet {

class KeyringStore;

// The remembered credentials. The e-mail address is the settings key "email" of the organisation
// and application "quellnet"; the password is kept in the desktop's Secret Service under the
// service "quellnet" with the e-mail address as the account. Where no Secret Service can be reached
// (no desktop session, a locked keyring whose unlock prompt was dismissed), the password goes to
// the settings key "password" instead, in a file readable by its owner only, and one line in the
// system log says so (once, until the keyring takes a password again). A password found in the settings file is moved
// into the keyring at the first launch that can reach one.
//
// GUI thread only. The settings change at once; the keyring's part follows asynchronously, in the
// order asked, and a later request overrides what an earlier one had not finished. Nothing here
// ever waits for the keyring.
class CredentialStore : public QObject
{
    Q_OBJECT

public:
    // The one store of the application, created on first use and destroyed with the application.
    static CredentialStore &shared();

    static QString rememberedEmail();
    // The password the settings file holds, if any: where no Secret Service was reachable, or as an
    // earlier version of the program left it.
    static QString passwordInSettings();

    // Both change together: a login reply accepted with the remember box ticked, or not.
    static void remember(const QString &email, const QString &password);
    static void forget();

    // Calls `done` once with the remembered password (empty when there is none or it cannot be
    // read): within this call when the settings file holds it, otherwise when the keyring has
    // answered; never once `context` is gone. A password found in the settings file is then moved
    // into the keyring.
    void fetchPassword(QObject *context, std::function<void(const QString &password)> done);

    // True while the keyring has not answered a request yet.
    bool isBusy() const { return m_pending > 0; }

Q_SIGNALS:
    // The keyring has answered every request so far.
    void settled();

private:
    explicit CredentialStore(QObject *parent = nullptr);
    ~CredentialStore() override;

    void rememberNow(const QString &email, const QString &password);
    void forgetNow();
    // Writes `password` for `email` into the keyring and, once it is there, removes it from the
    // settings file; keeps it in the file when the keyring cannot be reached.
    void storeInKeyring(const QString &email, const QString &password);
    void keepInSettingsFile(const QString &email, const QString &password, const QString &why);
    void began();
    void ended();

    KeyringStore *m_keyring = nullptr;
    // Every remember or forget starts a new generation; a keyring answer that belongs to an older
    // one must not change the settings any more.
    quint64 m_generation = 0;
    int m_pending = 0;
    bool m_fallbackLogged = false;
    // What this run last saw the keyring hold, so that an unchanged sign-in writes nothing.
    QString m_keyringEmail;
    QString m_keyringPassword;
    // The password on its way into the keyring, until the keyring has answered.
    QString m_writingEmail;
    QString m_writingPassword;
};

} // namespace quellnet
