#include "ConnectFlow.h"

namespace quellnet {

ConnectFlow::ConnectFlow(LoginForm &form, QObject *parent)
    : QObject(parent)
    , m_form(form)
{
}

void ConnectFlow::toggleConnection() {}

} // namespace quellnet
