#include "account/KeyringStore.h"

#include "base/AsyncTask.h"

#include <qt6keychain/keychain.h>

namespace quellnet {

namespace {

KeyringStore::Result resultOf(const QKeychain::Job &job, bool missingIsDone)
{
    KeyringStore::Result result;
    switch (job.error()) {
    case QKeychain::NoError:
        result.outcome = KeyringStore::Outcome::Done;
        if (const auto *read = qobject_cast<const QKeychain::ReadPasswordJob *>(&job))
            result.password = read->textData();
        break;
    case QKeychain::EntryNotFound:
        result.outcome = missingIsDone ? KeyringStore::Outcome::Done : KeyringStore::Outcome::NotFound;
        break;
    default:
        result.outcome = KeyringStore::Outcome::Unreachable;
        result.error = job.errorString();
        if (result.error.isEmpty())
            result.error = QStringLiteral("error %1").arg(int(job.error()));
        break;
    }
    return result;
}

} // namespace

KeyringStore::KeyringStore(QObject *parent) : QObject(parent), m_worker(new QObject)
{
    m_thread.setObjectName(QStringLiteral("qn-keyring"));
    m_worker->moveToThread(&m_thread);
    m_thread.start();
}

KeyringStore::~KeyringStore()
{
    m_thread.quit();
    m_thread.wait();
    // Its thread has ended, so nothing runs on it any more; jobs still unanswered are its children
    // and go with it. (A deleteLater() at the thread's end was not always carried out when the
    // store went with the application object.)
    delete m_worker;
}

QString KeyringStore::serviceName()
{
    return QStringLiteral("quellnet");
}

void KeyringStore::read(const QString &account, QObject *context, Callback callback)
{
    start(Kind::Read, account, {}, context, std::move(callback));
}

void KeyringStore::write(const QString &account, const QString &password, QObject *context, Callback callback)
{
    start(Kind::Write, account, password, context, std::move(callback));
}

void KeyringStore::remove(const QString &account, QObject *context, Callback callback)
{
    start(Kind::Remove, account, {}, context, std::move(callback));
}

void KeyringStore::start(
    Kind kind, const QString &account, const QString &password, QObject *context, Callback callback)
{
    // Taken here, on the context's thread, while the context surely lives.
    const CallbackTarget back(context);
    QObject *const worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, kind, account, password, back, callback]() {
        QKeychain::Job *job = nullptr;
        switch (kind) {
        case Kind::Read:
            job = new QKeychain::ReadPasswordJob(serviceName(), worker);
            break;
        case Kind::Write: {
            auto *writeJob = new QKeychain::WritePasswordJob(serviceName(), worker);
            writeJob->setTextData(password);
            job = writeJob;
            break;
        }
        case Kind::Remove:
            job = new QKeychain::DeletePasswordJob(serviceName(), worker);
            break;
        }
        // qtkeychain's own fallback would write the password into a settings file of its own;
        // the credential store decides about a fallback itself.
        job->setInsecureFallback(false);
        job->setAutoDelete(true);
        job->setKey(account);
        QObject::connect(job, &QKeychain::Job::finished, worker, [kind, back, callback](QKeychain::Job *done) {
            const Result result = resultOf(*done, kind == Kind::Remove);
            back.call([callback, result] { callback(result); });
        });
        job->start();
    });
}

} // namespace quellnet
