#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace quellnet {

// The kernel's table of this network namespace's IPv4 TCP sockets (/proc/net/tcp), which any
// user may read. It tells who owns the socket at the other end of a loopback connection, so the
// program can make sure that it talks to root's openvpn and not to another user's listener.
class TcpSocketTable
{
public:
    enum State { Established = 0x01, TimeWait = 0x06, Listen = 0x0A };

    struct Entry
    {
        quint32 localAddress = 0; // IPv4, host byte order
        quint16 localPort = 0;
        quint32 remoteAddress = 0;
        quint16 remotePort = 0;
        int state = 0;
        quint64 txQueue = 0; // bytes sent and not yet acknowledged by the peer
        quint64 rxQueue = 0; // bytes received and not yet read
        uint uid = 0;
    };

    // The current table; empty when it cannot be read.
    static std::vector<Entry> read();
    // Parses the text of /proc/net/tcp; lines that do not parse are skipped.
    static std::vector<Entry> parse(const QByteArray &text);

    // The owner of the socket that our connection from `localAddress`:`localPort` reaches at
    // `serverAddress`:`serverPort`. That is the uid of the server's end of the connection; when
    // the table does not show it, the uid of the listener on the server's port (if several
    // listeners share the port and one of them is not root's, that one). Nothing when neither is
    // in the table. Time-wait entries never count: the kernel shows them all as root's.
    static std::optional<uint> ownerOfPeer(const std::vector<Entry> &table,
                                           quint32 localAddress,
                                           quint16 localPort,
                                           quint32 serverAddress,
                                           quint16 serverPort);
};

} // namespace quellnet
