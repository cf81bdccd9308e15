#pragma once

#include "engine/ManagementParser.h"
#include "engine/TcpClient.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace quellnet {

// The client side of openvpn's management interface on 127.0.0.1 port 1337. The VPN service
// connects its `socket`, sends one-line commands through send() and starts the reader, which
// feeds openvpn's output to the management parser on a background thread.
//
// Exactly one reader runs per connection: startReading() does nothing for a connection that
// already has one, and a reader ends as soon as its connection is closed, by openvpn or by a
// reconnect. It never moves on to a later connection.
//
// send() may be called from any thread, also while the reader waits for output. Creating the
// client opens no connection. Destroying it closes the connection and waits for its readers.
class OpenVPNManagement
{
public:
    // `stateSink` receives the state names that openvpn reports, and `observer` the rest of what it
    // reports; by default both are the shared VPN service.
    explicit OpenVPNManagement(ManagementParser::StateSink stateSink = {}, ManagementObserver *observer = nullptr);
    ~OpenVPNManagement();

    OpenVPNManagement(const OpenVPNManagement &) = delete;
    OpenVPNManagement &operator=(const OpenVPNManagement &) = delete;

    TcpClient &socket() { return m_socket; }

    // Sends one command line (the caller supplies its "\n") and traces it on standard output: the
    // command and an empty line on success, the command followed by a blank and the error
    // description on failure. The value of a "password" command is masked in the trace.
    void send(const QString &command);

    // Asks openvpn for its current state ("state") and hands its answer to the parser, as if it had
    // been reported: the answer's state record (the fields of a ">STATE:" report, on a line of its own),
    // and whatever openvpn reported before it. Reads up to the answer's "END" line, at most `timeout`,
    // and nothing beyond it; before the reader starts. `awaitsCredentials` tells whether openvpn is
    // waiting for a user name and password.
    bool takeCurrentState(std::chrono::milliseconds timeout, bool *awaitsCredentials, QString *error = nullptr);

    // Starts the reader for the current connection and returns at once.
    void startReading();

    // Runs on the reader's thread when openvpn closes the connection that is still the current
    // one; not when the program itself closed or replaced it.
    void setConnectionLostHandler(std::function<void()> handler);

    // Readers still running.
    int readerCount() const { return m_readerCount.load(); }
    // Waits until no reader runs, at most `timeout`; returns whether none does. After openvpn has
    // exited, its reader still handles what openvpn wrote last before it ends.
    bool waitForReaders(std::chrono::milliseconds timeout);

    // How send() shows `command` on standard output.
    static QString traceOf(const QString &command);

private:
    struct Reader
    {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };

    void readLoop(const std::shared_ptr<TcpConnection> &connection);
    void reapFinishedReaders();

    TcpClient m_socket;
    const ManagementParser m_parser;

    std::atomic<int> m_readerCount { 0 };
    std::mutex m_mutex; // guards m_readers and m_connectionLostHandler
    std::condition_variable m_readerEnded;
    std::list<Reader> m_readers;
    std::function<void()> m_connectionLostHandler;
};

} // namespace quellnet
