#pragma once

#include <QString>

namespace quellnet {

// The remembered credentials: the settings keys "email" and "password" of the organisation and
// application "quellnet". They are stored as plain text, so the settings file is kept readable by
// its owner only.
class CredentialStore
{
public:
    static QString rememberedEmail();
    static QString rememberedPassword();

    // Both keys always change together.
    static void remember(const QString &email, const QString &password);
    static void forget();
};

} // namespace quellnet
