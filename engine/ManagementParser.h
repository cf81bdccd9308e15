#pragma once

#include <QString>

#include <cstdint>
#include <functional>

namespace quellnet {

// One ">STATE:" report, its fields as openvpn 2.6 writes them, in this order; a field openvpn leaves
// out is empty.
struct StateReport
{
    QString time; // unix time of the change
    QString name; // CONNECTING, WAIT, AUTH, ..., CONNECTED, RECONNECTING, EXITING
    QString description; // SUCCESS, SIGINT, auth-failure, ping-restart, ...
    QString tunnelAddress; // the tunnel's IPv4 address
    QString remoteAddress; // the server's address
    QString remotePort;
    QString localAddress;
    QString localPort;
    QString tunnelAddress6; // the tunnel's IPv6 address
};

// What openvpn reports besides the state name, as the parser reads it. Called on the management
// reader's thread, in the order of the lines.
class ManagementObserver
{
public:
    virtual ~ManagementObserver() = default;

    // A state report that names a state, right before its name goes to the state sink.
    virtual void stateReported(const StateReport &report) = 0;
    // ">BYTECOUNT:in,out": the bytes openvpn received and sent since it started.
    virtual void byteCountReported(std::uint64_t received, std::uint64_t sent) = 0;
    // ">PASSWORD:Verification Failed": the VPN server refused the credentials.
    virtual void verificationFailed() = 0;
    // ">FATAL:": openvpn stops on an error; the message as openvpn wrote it.
    virtual void fatalReported(const QString &message) = 0;
};

// Turns openvpn's management output into actions. Lines end in CR LF; a line is handled only once
// its line feed has arrived. State reports (">STATE:") become VPN states, log lines (">LOG:") go
// to standard output, known notifications and "SUCCESS:" answers are dropped, and anything else
// is reported on standard output as unrecognised. On top of that, the observer learns the fields
// of each state report, the byte counts, a refused password and a fatal error; none of it changes
// what goes to standard output or to the state sink. The parser never writes to openvpn.
//
// Runs on the management reader's thread; it keeps no state between calls.
class ManagementParser
{
public:
    using StateSink = std::function<void(const QString &name)>;

    // `stateSink` receives each reported state name; by default OpenVPNService::updateState() of
    // the shared service, which then observes the reports too unless `observer` is given.
    explicit ManagementParser(StateSink stateSink = {}, ManagementObserver *observer = nullptr);

    // Hands every complete line of `buffer` to handleLine(), in order, and returns the rest,
    // which the caller keeps until more output arrives.
    QString processBuffer(QString buffer) const;
    void handleLine(const QString &line) const;
    // `payload` is what follows ">STATE:": time stamp, state name, and the rest of the report.
    void handleState(const QString &payload) const;

private:
    void handleByteCount(const QString &payload) const;

    StateSink m_stateSink;
    ManagementObserver *m_observer = nullptr;
};

} // namespace quellnet
