#include "TestPki.h"

#include <QFile>
#include <QProcess>

namespace quellnet {

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TestPki::TestPki()
{
    if (!m_dir.isValid()) {
        m_errorString = QStringLiteral("no temporary directory: %1").arg(m_dir.errorString());
        return;
    }
    QProcess pki;
    pki.setProcessChannelMode(QProcess::MergedChannels);
    pki.start(QStringLiteral("bash"), { QStringLiteral(QUELLNET_STACK_SCRIPT), QStringLiteral("pki"), m_dir.path() });
    if (!pki.waitForFinished(30000) || pki.exitStatus() != QProcess::NormalExit || pki.exitCode() != 0) {
        m_errorString = QStringLiteral("stack.sh pki failed: %1").arg(QString::fromLocal8Bit(pki.readAll()));
        return;
    }
    m_valid = !caCertificate().isNull() && QFile::exists(standInCertificatePath()) && QFile::exists(standInKeyPath());
    if (!m_valid)
        m_errorString = QStringLiteral("stack.sh pki left no usable certificates in %1").arg(m_dir.path());
}

QSslCertificate TestPki::caCertificate() const
{
    return QSslCertificate(readFile(caPath()), QSsl::Pem);
}

} // namespace quellnet
