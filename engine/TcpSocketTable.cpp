#include "engine/TcpSocketTable.h"

#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace quellnet {

namespace {

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
    if (local) {
        entry.localPort = static_cast<quint16>(port);
        if (entry.ipv6) {
            for (std::size_t i = 0; i < 4; ++i) {
                const quint32 word = ntohl(words[i]);
                for (std::size_t b = 0; b < 4; ++b)
                    entry.localAddress6[i * 4 + b] = static_cast<quint8>(word >> (24 - 8 * b));
            }
        } else {
            entry.localAddress = ntohl(words[0]);
        }
    } else {
        entry.remotePort = static_cast<quint16>(port);
        entry.remoteAddress = entry.ipv6 ? 0 : ntohl(words[0]);
    }
    return true;
}

// Whether a listener on this local address could take a connection to 127.0.0.1.
bool listensOnLoopback(const TcpSocketTable::Entry &entry, quint32 serverAddress)
{
    if (!entry.ipv6)
        return entry.localAddress == serverAddress || entry.localAddress == INADDR_ANY;
    static constexpr std::array<quint8, 16> any {};
    std::array<quint8, 16> mapped {};
    mapped[10] = mapped[11] = 0xFF;
    for (std::size_t b = 0; b < 4; ++b)
        mapped[12 + b] = static_cast<quint8>(serverAddress >> (24 - 8 * b));
    return entry.localAddress6 == any || entry.localAddress6 == mapped;
}

} // namespace

std::vector<TcpSocketTable::Entry> TcpSocketTable::read()
{
    std::vector<Entry> table;
    for (const char *path : { "/proc/net/tcp", "/proc/net/tcp6" }) {
        QFile file { QLatin1String(path) };
        // The files are generated while they are read; readAll() reads on until the end.
        if (file.open(QIODevice::ReadOnly)) {
            std::vector<Entry> part = parse(file.readAll());
            table.insert(table.end(), part.begin(), part.end());
        }
    }
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
    for (const Entry &entry : table) {
        // Time-wait entries, orphaned FIN_WAIT2 ones included, are the kernel's and shown as root's.
        if (entry.ipv6 || entry.state == TimeWait || entry.state == FinWait2)
            continue;
        if (entry.localAddress != serverAddress || entry.localPort != serverPort || entry.remoteAddress != localAddress
            || entry.remotePort != localPort)
            continue;
        if (entry.uid != 0)
            return entry.uid;
        if (entry.inode != 0)
            return 0; // accepted by a root process
        break; // not accepted yet: its uid tells nothing on every kernel
    }

    std::optional<uint> owner;
    for (const Entry &entry : table) {
        if (entry.state != Listen || entry.localPort != serverPort || !listensOnLoopback(entry, serverAddress))
            continue;
        if (entry.uid != 0)
            return entry.uid;
        owner = 0;
    }
    return owner;
}

} // namespace quellnet
