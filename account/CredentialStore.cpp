#include "account/CredentialStore.h"

#include "account/AccountLog.h"
#include "account/KeyringStore.h"
#include "base/SystemLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSettings>

namespace quellnet {

namespace {

const QString kEmailKey = QStringLiteral("email");
const QString kPasswordKey = QStringLiteral("password");

QSettings settings()
{
    return QSettings(QStringLiteral("quellnet"), QStringLiteral("quellnet"));
}

// QSettings replaces its file through a temporary copy that keeps the permissions of the file it
// replaces; so the file is created owner-only before anything secret is written, and tightened
// again afterwards in case it existed with looser permissions.
void restrictToOwner(const QString &fileName)
{
    if (!QFile::exists(fileName)) {
        QDir().mkpath(QFileInfo(fileName).absolutePath());
        QFile file(fileName);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return;
    }
    QFile::setPermissions(fileName, QFile::ReadOwner | QFile::WriteOwner);
}

void removePasswordFromSettings()
{
    QSettings store = settings();
    if (!store.contains(kPasswordKey))
        return;
    store.remove(kPasswordKey);
    store.sync();
    restrictToOwner(store.fileName());
}

} // namespace

CredentialStore::CredentialStore(QObject *parent) : QObject(parent), m_keyring(new KeyringStore(this)) { }

CredentialStore::~CredentialStore() = default;

CredentialStore &CredentialStore::shared()
{
    static QPointer<CredentialStore> instance;
    if (instance.isNull())
        instance = new CredentialStore(QCoreApplication::instance());
    return *instance;
}

QString CredentialStore::rememberedEmail()
{
    return settings().value(kEmailKey).toString();
}

QString CredentialStore::passwordInSettings()
{
    return settings().value(kPasswordKey).toString();
}

void CredentialStore::remember(const QString &email, const QString &password)
{
    shared().rememberNow(email, password);
}

void CredentialStore::forget()
{
    shared().forgetNow();
}

void CredentialStore::rememberNow(const QString &email, const QString &password)
{
    ++m_generation;
    QSettings store = settings();
    restrictToOwner(store.fileName());
    const QString previousEmail = store.value(kEmailKey).toString();
    // Every sign-in of someone who stays signed in comes here, and writing the file flushes it to
    // the disk on the GUI thread: only what changed is written.
    bool changed = false;
    if (!store.contains(kEmailKey) || previousEmail != email) {
        store.setValue(kEmailKey, email);
        changed = true;
    }
    // A password in the file that is not this one would be offered with the new e-mail address
    // should the program end before the keyring answers.
    if (store.contains(kPasswordKey) && store.value(kPasswordKey).toString() != password) {
        store.remove(kPasswordKey);
        changed = true;
    }
    if (changed) {
        store.sync();
        restrictToOwner(store.fileName());
    }

    if (!previousEmail.isEmpty() && previousEmail != email) {
        began();
        m_keyring->remove(previousEmail, this, [this](const KeyringStore::Result &result) {
            if (result.outcome == KeyringStore::Outcome::Unreachable)
                qCInfo(lcAccount) << "the previous account's password could not be removed from the keyring:"
                                  << result.error;
            ended();
        });
    }
    if (m_keyringEmail == email && m_keyringPassword == password && !store.contains(kPasswordKey))
        return;
    storeInKeyring(email, password);
}

void CredentialStore::forgetNow()
{
    ++m_generation;
    QSettings store = settings();
    const QString email = store.value(kEmailKey).toString();
    store.remove(kEmailKey);
    store.remove(kPasswordKey);
    store.sync();
    restrictToOwner(store.fileName());
    m_keyringEmail.clear();
    m_keyringPassword.clear();
    m_writingEmail.clear();
    m_writingPassword.clear();
    if (email.isEmpty())
        return;
    began();
    m_keyring->remove(email, this, [this](const KeyringStore::Result &result) {
        // Without a keyring there is nothing in it to remove.
        if (result.outcome == KeyringStore::Outcome::Unreachable)
            qCInfo(lcAccount) << "the password could not be removed from the keyring:" << result.error;
        ended();
    });
}

void CredentialStore::fetchPassword(QObject *context, std::function<void(const QString &password)> done)
{
    QSettings store = settings();
    const QString email = store.value(kEmailKey).toString();
    if (email.isEmpty()) {
        done(QString());
        return;
    }
    if (store.contains(kPasswordKey)) {
        const QString password = store.value(kPasswordKey).toString();
        done(password);
        storeInKeyring(email, password);
        return;
    }
    // Remembered a moment ago and still on its way: a read now would find the keyring's old entry,
    // or, without a keyring, nothing yet.
    if (!m_writingEmail.isEmpty() && m_writingEmail == email) {
        done(m_writingPassword);
        return;
    }
    began();
    const quint64 generation = m_generation;
    m_keyring->read(email, this,
        [this, receiver = QPointer<QObject>(context), done = std::move(done), email, generation](
            const KeyringStore::Result &result) {
            if (result.outcome == KeyringStore::Outcome::Done && generation == m_generation) {
                m_keyringEmail = email;
                m_keyringPassword = result.password;
            } else if (result.outcome == KeyringStore::Outcome::Unreachable) {
                SystemLog::write(QStringLiteral("The remembered password could not be read from the Secret Service: %1")
                                     .arg(result.error));
            }
            if (!receiver.isNull())
                done(result.outcome == KeyringStore::Outcome::Done ? result.password : QString());
            ended();
        });
}

void CredentialStore::storeInKeyring(const QString &email, const QString &password)
{
    began();
    const quint64 generation = m_generation;
    m_writingEmail = email;
    m_writingPassword = password;
    m_keyring->write(email, password, this, [this, email, password, generation](const KeyringStore::Result &result) {
        if (generation == m_generation) {
            m_writingEmail.clear();
            m_writingPassword.clear();
            if (result.outcome == KeyringStore::Outcome::Done) {
                m_keyringEmail = email;
                m_keyringPassword = password;
                m_fallbackLogged = false;
                removePasswordFromSettings();
            } else {
                keepInSettingsFile(email, password, result.error);
            }
        }
        ended();
    });
}

void CredentialStore::keepInSettingsFile(const QString &email, const QString &password, const QString &why)
{
    QSettings store = settings();
    // Said once, not at every sign-in: until the keyring takes a password again.
    if (!m_fallbackLogged) {
        SystemLog::write(QStringLiteral("No Secret Service to keep the password in (%1); it is kept in %2, readable "
                                        "by its owner only")
                             .arg(why, store.fileName()));
        m_fallbackLogged = true;
    } else {
        qCInfo(lcAccount) << "still no Secret Service:" << why;
    }
    m_keyringEmail.clear();
    m_keyringPassword.clear();
    if (store.value(kEmailKey).toString() == email && store.value(kPasswordKey).toString() == password)
        return;
    restrictToOwner(store.fileName());
    store.setValue(kEmailKey, email);
    store.setValue(kPasswordKey, password);
    store.sync();
    restrictToOwner(store.fileName());
}

void CredentialStore::began()
{
    ++m_pending;
}

void CredentialStore::ended()
{
    if (--m_pending == 0)
        Q_EMIT settled();
}

} // namespace quellnet
