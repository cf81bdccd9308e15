#pragma once

#include <QByteArray>
#include <QString>

namespace quellnet {

class ManagementParser;

// The management reader's receive buffer. Each chunk read from openvpn is decoded as UTF-8 on its
// own: a chunk that does not decode (for example one that ends inside a multi-byte character) is
// dropped whole and the buffer keeps what it held. Decoded text is appended and complete lines go
// to the parser.
//
// The buffer is bounded: once more than maxPendingBytes arrive without a line feed, they are
// dropped with one line on standard output, and the rest of that over-long line, up to its line
// feed, is dropped as well, so its tail is never taken for a line of its own.
//
// Used by one reader thread only.
class ManagementReceiveBuffer
{
public:
    static constexpr qsizetype maxPendingBytes = qsizetype(1024) * 1024;

    explicit ManagementReceiveBuffer(const ManagementParser &parser);

    void receive(const QByteArray &chunk);

    // The text waiting for its line feed.
    const QString &pending() const { return m_pending; }

private:
    const ManagementParser &m_parser;
    QString m_pending;
    qsizetype m_pendingBytes = 0;
    bool m_skippingToLineFeed = false;
};

} // namespace quellnet
