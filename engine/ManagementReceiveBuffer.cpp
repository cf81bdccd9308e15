#include "engine/ManagementReceiveBuffer.h"

#include "engine/EngineLog.h"
#include "engine/ManagementParser.h"
#include "engine/StandardOutput.h"

#include <QStringDecoder>

namespace quellnet {

namespace {

qsizetype utf8Size(QStringView text)
{
    qsizetype bytes = 0;
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if (unit < 0x80)
            bytes += 1;
        else if (unit < 0x800)
            bytes += 2;
        else if (c.isHighSurrogate())
            bytes += 4; // the pair stands for one 4-byte character
        else if (!c.isLowSurrogate())
            bytes += 3;
    }
    return bytes;
}

} // namespace

ManagementReceiveBuffer::ManagementReceiveBuffer(const ManagementParser &parser) : m_parser(parser) { }

void ManagementReceiveBuffer::receive(const QByteArray &chunk)
{
    // Each chunk stands alone, a leading BOM included.
    QStringDecoder decoder(
        QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(chunk);
    if (decoder.hasError()) {
        qCDebug(lcEngine) << "dropped a management chunk of" << chunk.size() << "bytes that is not valid UTF-8";
        return;
    }

    if (m_skippingToLineFeed) {
        const qsizetype lineFeed = text.indexOf(u'\n');
        if (lineFeed < 0)
            return;
        text.remove(0, lineFeed + 1);
        m_skippingToLineFeed = false;
    }

    // The pending text never holds a line feed, so only new text can complete a line.
    if (!text.contains(u'\n')) {
        m_pending.append(text);
        m_pendingBytes += utf8Size(text);
    } else {
        m_pending.append(text);
        m_pending = m_parser.processBuffer(std::move(m_pending));
        // What is left lies wholly in this chunk, after its last CR LF.
        m_pendingBytes = utf8Size(m_pending);
    }

    if (m_pendingBytes > maxPendingBytes) {
        StandardOutput::writeLine(
            QStringLiteral("MGMT: Dropped %1 bytes of management output without a line feed").arg(m_pendingBytes));
        m_pending.clear();
        m_pending.squeeze();
        m_pendingBytes = 0;
        m_skippingToLineFeed = true;
    }
}

} // namespace quellnet
