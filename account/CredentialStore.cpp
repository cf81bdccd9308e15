#include "account/CredentialStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

} // namespace

QString CredentialStore::rememberedEmail()
{
    return settings().value(kEmailKey).toString();
}

QString CredentialStore::rememberedPassword()
{
    return settings().value(kPasswordKey).toString();
}

void CredentialStore::remember(const QString &email, const QString &password)
{
    QSettings store = settings();
    // Every sign-in of someone who stays signed in comes here, and writing the file flushes it to
    // the disk on the GUI thread; when it already holds these credentials there is nothing to write.
    restrictToOwner(store.fileName());
    if (store.contains(kEmailKey) && store.contains(kPasswordKey) && store.value(kEmailKey).toString() == email
        && store.value(kPasswordKey).toString() == password)
        return;
    store.setValue(kEmailKey, email);
    store.setValue(kPasswordKey, password);
    store.sync();
    restrictToOwner(store.fileName());
}

void CredentialStore::forget()
{
    QSettings store = settings();
    store.remove(kEmailKey);
    store.remove(kPasswordKey);
    store.sync();
    restrictToOwner(store.fileName());
}

} // namespace quellnet
