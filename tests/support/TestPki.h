#pragma once

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QString>
#include <QTemporaryDir>

namespace quellnet::test {

// A throwaway PKI for tests that need real TLS: the CA and certificates the end-to-end stack makes
// (scripts/lib/stack.sh pki), in a temporary directory that goes away with the object. The stand-in's
// certificate is valid for 127.0.0.1 and localhost. Runs openssl: make one per test case.
class TestPki
{
public:
    TestPki()
    {
        QProcess pki;
        pki.setProcessChannelMode(QProcess::MergedChannels);
        if (m_dir.isValid())
            pki.start(
                QStringLiteral("bash"), { QStringLiteral(QUELLNET_STACK_SCRIPT), QStringLiteral("pki"), m_dir.path() });
        if (!pki.waitForFinished(30000) || pki.exitStatus() != QProcess::NormalExit || pki.exitCode() != 0)
            m_errorString = QStringLiteral("stack.sh pki failed: %1").arg(QString::fromLocal8Bit(pki.readAll()));
    }

    bool isValid() const { return !caCertificate().isNull() && QFile::exists(standInKeyPath()); }
    QString errorString() const { return m_errorString; }
    QString standInCertificatePath() const { return m_dir.filePath(QStringLiteral("standin.crt")); }
    QString standInKeyPath() const { return m_dir.filePath(QStringLiteral("standin.key")); }
    QSslCertificate caCertificate() const
    {
        QFile file(m_dir.filePath(QStringLiteral("ca.crt")));
        return file.open(QIODevice::ReadOnly) ? QSslCertificate(file.readAll(), QSsl::Pem) : QSslCertificate();
    }

private:
    QTemporaryDir m_dir;
    QString m_errorString;
};

} // namespace quellnet::test
