#include "TcpSocketTable.h"

#include <QFile>

#include <arpa/inet.h>

namespace quellnet {

namespace {

// "0100007F:0539": the address is the kernel's 32-bit value in network byte order printed as a
// native integer, the port is printed in host order.
bool parseEndpoint(QByteArrayView text, quint32 &address, quint16 &port)
{
    const qsizetype colon = text.indexOf(':');
    if (colon != 8)
        return false;
    bool addressOk = false;
    bool portOk = false;
    const uint raw = text.first(colon).toUInt(&addressOk, 16);
    const uint portValue = text.sliced(colon + 1).toUInt(&portOk, 16);
    if (!addressOk || !portOk || portValue > 0xFFFF)
        return false;
    address = ntohl(static_cast<quint32>(raw));
    port = static_cast<quint16>(portValue);
    return true;
}

} // namespace

std::vector<TcpSocketTable::Entry> TcpSocketTable::read()
{
    QFile file(QStringLiteral("/proc/net/tcp"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // The file is generated while it is read; readAll() takes it in several reads until the end.
    return parse(file.readAll());
}

std::vector<TcpSocketTable::Entry> TcpSocketTable::parse(const QByteArray &text)
{
    std::vector<Entry> table;
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &line : lines) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 8 || !fields[0].endsWith(':'))
            continue;
        Entry entry;
        bool stateOk = false;
        bool uidOk = false;
        if (!parseEndpoint(fields[1], entry.localAddress, entry.localPort)
            || !parseEndpoint(fields[2], entry.remoteAddress, entry.remotePort))
            continue;
        entry.state = fields[3].toInt(&stateOk, 16);
        const QList<QByteArray> queues = fields[4].split(':');
        if (queues.size() == 2) {
            entry.txQueue = queues[0].toULongLong(nullptr, 16);
            entry.rxQueue = queues[1].toULongLong(nullptr, 16);
        }
        entry.uid = fields[7].toUInt(&uidOk);
        if (!stateOk || !uidOk)
            continue;
        table.push_back(entry);
    }
    return table;
}

std::optional<uint> TcpSocketTable::ownerOfPeer(const std::vector<Entry> &table,
                                                quint32 localAddress,
                                                quint16 localPort,
                                                quint32 serverAddress,
                                                quint16 serverPort)
{
    for (const Entry &entry : table) {
        if (entry.state != TimeWait && entry.localAddress == serverAddress && entry.localPort == serverPort
            && entry.remoteAddress == localAddress && entry.remotePort == localPort)
            return entry.uid;
    }
    std::optional<uint> listener;
    for (const Entry &entry : table) {
        if (entry.state == Listen && entry.localPort == serverPort
            && (entry.localAddress == serverAddress || entry.localAddress == INADDR_ANY)) {
            if (!listener || *listener == 0)
                listener = entry.uid;
        }
    }
    return listener;
}

} // namespace quellnet
