#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>
#include <vector>

namespace quellnet {

// The kernel's tables of this network namespace's TCP sockets (/proc/net/tcp and tcp6), which any
// user may read. They tell who owns the socket at the other end of a loopback connection, so the
// program can make sure that it talks to root's openvpn and not to another user's listener.
class TcpSocketTable
{
public:
    enum State { Established = 0x01, FinWait2 = 0x05, TimeWait = 0x06, Listen = 0x0A };

    struct Entry
    {
        bool ipv6 = false;
        // IPv4 addresses in host byte order; for an IPv6 entry, the IPv4 address it maps
        // (::ffff:a.b.c.d), or 0.
        quint32 localAddress = 0;
        std::array<quint8, 16> localAddress6 {}; // IPv6, network byte order
        quint16 localPort = 0;
        quint32 remoteAddress = 0;
        quint16 remotePort = 0;
        int state = 0;
        quint64 txQueue = 0; // bytes sent and not yet acknowledged by the peer
        quint64 rxQueue = 0; // bytes received and not yet read
        uint uid = 0;
        quint64 inode = 0; // 0 while no process holds the socket, e.g. before accept()
    };

    // The current IPv4 and IPv6 tables, or with `localPort` only the sockets bound to that port, and
    // with `listeningOnly` only listeners; empty when they cannot be read. Asks the kernel through sock_diag, which
    // finds a port's sockets in well under a millisecond; reading /proc/net/tcp walks the whole connection hash table
    // on every read (milliseconds on a machine with much memory), and is what is left when sock_diag is not there.
    static std::vector<Entry> read(quint16 localPort = 0, bool listeningOnly = false);
    // Parses the text of /proc/net/tcp or /proc/net/tcp6; lines that do not parse are skipped.
    static std::vector<Entry> parse(const QByteArray &text);

    // Who holds the server end of our IPv4 connection from `localAddress`:`localPort` to
    // `serverAddress`:`serverPort`: 0 when that is root for sure, the uid of another owner when
    // one shows, nothing when it cannot be told.
    //
    // Any socket of another user that serves the port where the connection could arrive (on the
    // server's address or the wildcard, in the IPv4 table or, IPv4-mapped or as [::], in the IPv6
    // one: listening or accepted) is a refusal, whoever took this connection. Otherwise the
    // server's socket of the connection settles it once a process has accepted it. Before that,
    // some kernels show it as root's whoever listens, so then there must be a listener of root's.
    // Time-wait entries never count: the kernel shows them all as root's.
    static std::optional<uint> ownerOfPeer(const std::vector<Entry> &table, quint32 localAddress, quint16 localPort,
        quint32 serverAddress, quint16 serverPort);

    // The inodes of root's listening sockets that take connections to `serverAddress`:`serverPort`
    // (on that address or the wildcard, IPv4 or IPv6), in table order. A socket that starts to
    // listen shows under an inode that no earlier socket of the port had.
    static std::vector<quint64> rootListeners(
        const std::vector<Entry> &table, quint32 serverAddress, quint16 serverPort);
};

} // namespace quellnet
