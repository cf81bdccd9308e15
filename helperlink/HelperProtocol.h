#pragma once

#include "helperlink/HelperWire.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace quellnet {

// What went wrong with a message to the helper: the helper could not be reached, the connection
// broke before the reply, or the helper refused the request.
struct HelperError
{
    QString description;
};

using HelperErrorHandler = std::function<void(const HelperError &error)>;

// The operations the root helper daemon offers. An instance is a proxy obtained from a
// HelperConnection with an error handler; every reply block, and the error handler in place of a
// reply, runs on the connection's own thread, never on the GUI thread.
class HelperProtocol
{
public:
    virtual ~HelperProtocol() = default;

    // Replies with the helper's version string.
    virtual void getVersionWithResponseHandler(std::function<void(const QString &version)> reply) = 0;

    // Asks the helper to run openvpn with the configuration file at `config`; `clientUp` and
    // `clientDown` name the program's up and down scripts, and `managementPassword` is the secret
    // that openvpn's management interface is to ask for (HelperWire::isManagementPassword()).
    // Returns at once. When that openvpn process has ended, or the helper refused to run it,
    // `terminationHandler` runs once with the status.
    virtual void runOpenVPNWithConfig(const QString &config,
                                      const QString &clientUp,
                                      const QString &clientDown,
                                      const QString &managementPassword,
                                      std::function<void(std::int32_t terminationStatus)> terminationHandler) = 0;

    // Asks the helper to end the openvpn process it runs. No reply; the helper ignores the request
    // when that openvpn belongs to another user.
    virtual void killOpenVPN() = 0;

    // Replies with the helper's run: its openvpn, or else the one waiting to start; nothing when
    // there is none. The run's management password comes only to its owner (and root).
    virtual void getRunWithResponseHandler(std::function<void(const std::optional<HelperRun> &run)> reply) = 0;
};

} // namespace quellnet
