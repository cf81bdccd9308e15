#pragma once

#include <QString>

#include <functional>

namespace quellnet {

// Turns openvpn's management output into actions. Lines end in CR LF; a line is handled only once
// its line feed has arrived. State reports (">STATE:") become VPN states, log lines (">LOG:") go
// to standard output, known notifications and "SUCCESS:" answers are dropped, and anything else
// is reported on standard output as unrecognised. The parser never writes to openvpn.
//
// Runs on the management reader's thread; it keeps no state between calls.
class ManagementParser
{
public:
    using StateSink = std::function<void(const QString &name)>;

    // `stateSink` receives each reported state name; by default OpenVPNService::updateState() of
    // the shared service.
    explicit ManagementParser(StateSink stateSink = {});

    // Hands every complete line of `buffer` to handleLine(), in order, and returns the rest,
    // which the caller keeps until more output arrives.
    QString processBuffer(QString buffer) const;
    void handleLine(const QString &line) const;
    // `payload` is what follows ">STATE:": time stamp, state name, and the rest of the report.
    void handleState(const QString &payload) const;

private:
    StateSink m_stateSink;
};

} // namespace quellnet
