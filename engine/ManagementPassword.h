#pragma once

#include <QString>

#include <chrono>

namespace quellnet {

class TcpConnection;

// The secret of one openvpn run's management interface. The client makes a fresh one for every
// run and hands it to the root helper with the run request; the helper gives it to that openvpn
// and to no one but the run's owner. On every new management connection openvpn writes
// "ENTER PASSWORD:" and serves nothing until it is answered: the right secret gives
// "SUCCESS: password is correct", any other just repeats the prompt. A listener that never asks,
// or that does not take this run's secret, is not this run's openvpn.
//
// Thread-safe; answerPrompt() blocks the calling thread for at most `timeout`. The secret is
// never written to standard output or a log.
class ManagementPassword
{
public:
    // 256 bits from the system's random source, as 64 lowercase hexadecimal digits.
    static QString generate();

    // Waits for the prompt on the freshly made `connection`, answers it with `password` and
    // returns whether openvpn took it, all within `timeout`. Reads nothing beyond openvpn's
    // "SUCCESS" line, so what follows (the banner, pending requests) stays for the reader.
    // Sends nothing but the password, and that only after the prompt came.
    static bool answerPrompt(TcpConnection &connection, const QString &password, std::chrono::milliseconds timeout,
        QString *error = nullptr);
};

} // namespace quellnet
