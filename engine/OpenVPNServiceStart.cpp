// PLACEHOLDER until the management client and the service's start land.
#include "OpenVPNManagement.h"
#include "OpenVPNService.h"

namespace quellnet {

void OpenVPNManagement::send(const QString &) {}
void OpenVPNManagement::startReading() {}
void OpenVPNService::startOpenVPN() {}
void OpenVPNService::stopOpenVPN()
{
    management().send(QStringLiteral("signal SIGINT\n"));
}

} // namespace quellnet
