#pragma once

#include "LoginForm.h"

#include <QJsonValue>
#include <QObject>
#include <QString>

namespace quellnet {

// PLACEHOLDER interface of the sign-in and connect flow (being written). The login view owns one
// and forwards its connect action to toggleConnection().
class ConnectFlow : public QObject
{
    Q_OBJECT

public:
    explicit ConnectFlow(LoginForm &form, QObject *parent = nullptr);

    // The connect action of the view's button and of the tray's connect item.
    void toggleConnection();

    // The last profile reply of the account service; JSON null until one arrived.
    const QJsonValue &profile() const { return m_profile; }

private:
    LoginForm &m_form;
    QJsonValue m_profile;
};

} // namespace quellnet
