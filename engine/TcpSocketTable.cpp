#include "engine/TcpSocketTable.h"

#include <QFile>

#include <algorithm>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quellnet {

namespace {

struct Address
{
    quint32 v4 = 0; // 0 for an IPv6 address that is not an IPv4 one
    std::array<quint8, 16> v6 {}; // IPv6 only
};

// `words` are the kernel's 32-bit words of an address in network byte order: one for IPv4, four
// for IPv6. ::ffff:a.b.c.d is the IPv4 address a.b.c.d seen through an IPv6 socket.
Address addressOf(const quint32 *words, bool ipv6)
{
    Address address;
    if (!ipv6) {
        address.v4 = ntohl(words[0]);
        return address;
    }
    std::memcpy(address.v6.data(), words, address.v6.size());
    static constexpr std::array<quint8, 12> mappedPrefix { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF };
    if (std::equal(mappedPrefix.begin(), mappedPrefix.end(), address.v6.begin()))
        address.v4 = ntohl(words[3]);
    return address;
}

// "0100007F:0539": the address is the kernel's 32-bit words in network byte order, each printed
// as a native integer (one word for IPv4, four for IPv6); the port is printed in host order.
bool parseEndpoint(QByteArrayView text, TcpSocketTable::Entry &entry, bool local)
{
    const qsizetype colon = text.indexOf(':');
    if (colon != 8 && colon != 32)
        return false;
    bool portOk = false;
    const uint port = text.sliced(colon + 1).toUInt(&portOk, 16);
    if (!portOk || port > 0xFFFF)
        return false;

    std::array<quint32, 4> words {};
    for (qsizetype i = 0; i < colon / 8; ++i) {
        bool ok = false;
        words[static_cast<std::size_t>(i)] = static_cast<quint32>(text.sliced(i * 8, 8).toUInt(&ok, 16));
        if (!ok)
            return false;
    }
    entry.ipv6 = colon == 32;
    const Address address = addressOf(words.data(), entry.ipv6);
    if (local) {
        entry.localPort = static_cast<quint16>(port);
        entry.localAddress = address.v4;
        entry.localAddress6 = address.v6;
    } else {
        entry.remotePort = static_cast<quint16>(port);
        entry.remoteAddress = address.v4;
    }
    return true;
}

// Whether a socket bound to this local address could serve a connection to `serverAddress`: the
// address itself or the wildcard, IPv4 or IPv6 (an IPv6 wildcard socket may take IPv4 too).
bool servesAddress(const TcpSocketTable::Entry &entry, quint32 serverAddress)
{
    static constexpr std::array<quint8, 16> any {};
    if (entry.ipv6 && entry.localAddress6 == any)
        return true;
    return entry.localAddress == serverAddress || (!entry.ipv6 && entry.localAddress == INADDR_ANY);
}

// One sock_diag dump of the TCP sockets of `family` (with `localPort`, those bound to it; with
// `listeningOnly`, listeners alone, which spares the kernel its walk of the connection table),
// appended to `table`. False when the kernel cannot be asked or the answer is cut short.
bool readFromKernel(int family, quint16 localPort, bool listeningOnly, std::vector<TcpSocketTable::Entry> &table)
{
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return false;
    struct
    {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.body.sdiag_family = static_cast<quint8>(family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = listeningOnly ? 1U << TcpSocketTable::Listen : ~0U;
    request.body.id.idiag_sport = htons(localPort);
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &request, sizeof request, 0, reinterpret_cast<const sockaddr *>(&kernel), sizeof kernel)
        != ssize_t(sizeof request)) {
        ::close(fd);
        return false;
    }

    // The kernel answers at once; a dump that stalls is not waited for.
    const timeval patience { 1, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    alignas(nlmsghdr) std::array<char, 32 * 1024> buffer {};
    const std::size_t before = table.size();
    for (bool broken = false; !broken;) {
        const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            break;
        // Messages follow one another, each at a 4-byte boundary.
        std::size_t offset = 0;
        while (offset + sizeof(nlmsghdr) <= std::size_t(received)) {
            nlmsghdr message {};
            std::memcpy(&message, buffer.data() + offset, sizeof message);
            if (message.nlmsg_len < sizeof message || offset + message.nlmsg_len > std::size_t(received)) {
                broken = true;
                break;
            }
            if (message.nlmsg_type == NLMSG_DONE) {
                ::close(fd);
                return true;
            }
            constexpr std::size_t header = (sizeof(nlmsghdr) + NLMSG_ALIGNTO - 1) & ~std::size_t(NLMSG_ALIGNTO - 1);
            if (message.nlmsg_type == NLMSG_ERROR || message.nlmsg_len < header + sizeof(inet_diag_msg)) {
                broken = true;
                break;
            }
            inet_diag_msg diag {};
            std::memcpy(&diag, buffer.data() + offset + header, sizeof diag);
            offset += (message.nlmsg_len + NLMSG_ALIGNTO - 1) & ~std::size_t(NLMSG_ALIGNTO - 1);
            TcpSocketTable::Entry entry;
            entry.ipv6 = diag.idiag_family == AF_INET6;
            const Address local = addressOf(diag.id.idiag_src, entry.ipv6);
            entry.localAddress = local.v4;
            entry.localAddress6 = local.v6;
            entry.remoteAddress = addressOf(diag.id.idiag_dst, entry.ipv6).v4;
            entry.localPort = ntohs(diag.id.idiag_sport);
            entry.remotePort = ntohs(diag.id.idiag_dport);
            entry.state = diag.idiag_state;
            entry.txQueue = diag.idiag_wqueue;
            entry.rxQueue = diag.idiag_rqueue;
            entry.uid = diag.idiag_uid;
            entry.inode = diag.idiag_inode;
            table.push_back(entry);
        }
    }
    // An error or a dump cut short: what came of it is not the whole table.
    table.resize(before);
    ::close(fd);
    return false;
}

bool isTimeWait(const TcpSocketTable::Entry &entry)
{
    // Orphaned FIN_WAIT2 entries are time-wait sockets too: the kernel's, shown as root's.
    return entry.state == TcpSocketTable::TimeWait || entry.state == TcpSocketTable::FinWait2;
}

} // namespace

std::vector<TcpSocketTable::Entry> TcpSocketTable::read(quint16 localPort, bool listeningOnly)
{
    std::vector<Entry> table;
    if (readFromKernel(AF_INET, localPort, listeningOnly, table)
        && readFromKernel(AF_INET6, localPort, listeningOnly, table))
        return table;
    table.clear();
    for (const char *path : { "/proc/net/tcp", "/proc/net/tcp6" }) {
        QFile file { QLatin1String(path) };
        // The files are generated while they are read; readAll() reads on until the end.
        if (file.open(QIODevice::ReadOnly)) {
            std::vector<Entry> part = parse(file.readAll());
            table.insert(table.end(), part.begin(), part.end());
        }
    }
    std::erase_if(table, [localPort, listeningOnly](const Entry &entry) {
        return (localPort != 0 && entry.localPort != localPort) || (listeningOnly && entry.state != Listen);
    });
    return table;
}

std::vector<TcpSocketTable::Entry> TcpSocketTable::parse(const QByteArray &text)
{
    std::vector<Entry> table;
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &line : lines) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 10 || !fields[0].endsWith(':'))
            continue;
        Entry entry;
        if (!parseEndpoint(fields[1], entry, true) || !parseEndpoint(fields[2], entry, false))
            continue;
        bool stateOk = false;
        bool uidOk = false;
        bool inodeOk = false;
        entry.state = fields[3].toInt(&stateOk, 16);
        const QList<QByteArray> queues = fields[4].split(':');
        if (queues.size() == 2) {
            entry.txQueue = queues[0].toULongLong(nullptr, 16);
            entry.rxQueue = queues[1].toULongLong(nullptr, 16);
        }
        entry.uid = fields[7].toUInt(&uidOk);
        entry.inode = fields[9].toULongLong(&inodeOk);
        if (!stateOk || !uidOk || !inodeOk)
            continue;
        table.push_back(entry);
    }
    return table;
}

std::optional<uint> TcpSocketTable::ownerOfPeer(
    const std::vector<Entry> &table, quint32 localAddress, quint16 localPort, quint32 serverAddress, quint16 serverPort)
{
    bool acceptedByRoot = false;
    bool rootListens = false;
    for (const Entry &entry : table) {
        if (isTimeWait(entry) || entry.localPort != serverPort || !servesAddress(entry, serverAddress))
            continue;
        if (entry.uid != 0)
            return entry.uid;
        rootListens = rootListens || entry.state == Listen;
        // The server's end of our connection, accepted by a root process. One nobody has accepted
        // yet (inode 0) tells nothing: some kernels show it as root's whoever listens.
        acceptedByRoot = acceptedByRoot
            || (entry.state != Listen && entry.remoteAddress == localAddress && entry.remotePort == localPort
                && entry.inode != 0);
    }
    if (acceptedByRoot || rootListens)
        return 0;
    return std::nullopt;
}

std::vector<quint64> TcpSocketTable::rootListeners(
    const std::vector<Entry> &table, quint32 serverAddress, quint16 serverPort)
{
    std::vector<quint64> inodes;
    for (const Entry &entry : table) {
        if (entry.state == Listen && entry.uid == 0 && entry.inode != 0 && entry.localPort == serverPort
            && servesAddress(entry, serverAddress))
            inodes.push_back(entry.inode);
    }
    return inodes;
}

} // namespace quellnet
