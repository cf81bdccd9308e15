#pragma once

#include <QString>

namespace quellnet {

// PLACEHOLDER: the management client is being written; this stub only fixes the interface
// the rest of the program uses.
class OpenVPNManagement
{
public:
    OpenVPNManagement() = default;

    // Sends one command line (the caller supplies its "\n") and traces it on standard output.
    void send(const QString &command);
    // Starts the reader for the current connection and returns at once.
    void startReading();
};

} // namespace quellnet
