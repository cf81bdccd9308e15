#pragma once

#include <QString>

namespace quellnet {

// The account service's URLs. The base URL is fixed when the program is built (the provider's
// service; the demo and the end-to-end tests build against a local stand-in instead).
class Constant
{
public:
    static const QString &baseURL();
    static const QString &loginURL();
    static const QString &profileURL();

    // A CA certificate file trusted for the account service instead of the system's, or empty.
    static const QString &extraCACertificate();
    // For tests that run the program as a user who cannot enter the build's folder: a readable copy
    // of that CA. Call before the first sign-in.
    static void setExtraCACertificateForTesting(const QString &path);
};

} // namespace quellnet
