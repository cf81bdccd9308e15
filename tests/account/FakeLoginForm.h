#pragma once

#include "LoginForm.h"

#include <QStringList>

// A login form the tests fill in and read back: what the connect flow showed, in order.
class FakeLoginForm final : public quellnet::LoginForm
{
public:
    QString email;
    QString password;
    bool remember = false;

    QStringList modes;   // "connecting" / "disconnected", in call order
    QStringList sheets;  // error sheet texts, in call order

    QString emailText() const override { return email; }
    QString passwordText() const override { return password; }
    bool rememberChecked() const override { return remember; }
    void showConnecting() override { modes << QStringLiteral("connecting"); }
    void showDisconnected() override { modes << QStringLiteral("disconnected"); }
    void showErrorSheet(const QString &message) override { sheets << message; }
};
