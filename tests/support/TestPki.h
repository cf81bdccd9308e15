#pragma once

#include <QSslCertificate>
#include <QString>
#include <QTemporaryDir>

namespace quellnet {

// A throwaway PKI for tests that need real TLS: the same CA and certificates that the end-to-end
// stack makes (scripts/lib/stack.sh pki), in a temporary directory that goes away with the object.
// The stand-in's certificate is valid for 127.0.0.1 and localhost.
//
// Runs openssl, so it takes a fraction of a second; make one per test case, not per test function.
class TestPki
{
public:
    TestPki();

    bool isValid() const { return m_valid; }
    QString errorString() const { return m_errorString; }

    QString dir() const { return m_dir.path(); }
    QString caPath() const { return m_dir.filePath(QStringLiteral("ca.crt")); }
    QString standInCertificatePath() const { return m_dir.filePath(QStringLiteral("standin.crt")); }
    QString standInKeyPath() const { return m_dir.filePath(QStringLiteral("standin.key")); }

    QSslCertificate caCertificate() const;

private:
    QTemporaryDir m_dir;
    bool m_valid = false;
    QString m_errorString;
};

} // namespace quellnet
