#pragma once

#include <QString>

namespace quellnet {

// What the sign-in and connect flow needs from the login view: the form's contents, the two
// display modes it switches to while signing in, the error sheet and the report of a failure.
// Implemented by the login view; everything is called on the GUI thread.
class LoginForm
{
public:
    virtual ~LoginForm() = default;

    virtual QString emailText() const = 0;
    virtual QString passwordText() const = 0;
    // True only when the remember check box is fully on.
    virtual bool rememberChecked() const = 0;

    virtual void showConnecting() = 0;
    virtual void showDisconnected() = 0;

    // A critical alert with `message` on the login window. Returns at once.
    virtual void showErrorSheet(const QString &message) = 0;
    // Why a sign-in ended: where the person will see it, which may be elsewhere than the window
    // (a desktop notification). Returns at once.
    virtual void reportFailure(const QString &message) { showErrorSheet(message); }
};

} // namespace quellnet
