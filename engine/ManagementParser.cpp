#include "engine/ManagementParser.h"

#include "engine/OpenVPNService.h"
#include "engine/StandardOutput.h"

namespace quellnet {

ManagementParser::ManagementParser(StateSink stateSink) : m_stateSink(std::move(stateSink))
{
    if (!m_stateSink)
        m_stateSink = [](const QString &name) { OpenVPNService::shared().updateState(name); };
}

QString ManagementParser::processBuffer(QString buffer) const
{
    // A buffer holding a bare LF but no CR LF is taken whole as one line, LFs included; text after
    // the last CR LF (even one ending in CR) waits for the next chunk.
    while (buffer.contains(u'\n')) {
        const qsizetype end = buffer.indexOf(QLatin1String("\r\n"));
        if (end < 0) {
            handleLine(buffer);
            buffer.clear();
        } else {
            handleLine(buffer.first(end));
            buffer.remove(0, end + 2);
        }
    }
    return buffer;
}

void ManagementParser::handleLine(const QString &line) const
{
    const qsizetype colon = line.startsWith(u'>') ? line.indexOf(u':') : -1;
    if (colon < 0) {
        if (line.startsWith(QLatin1String("SUCCESS:")) || line.startsWith(QLatin1String("PROTECTFD: ")))
            return;
        StandardOutput::writeLine(QStringLiteral("MGMT: Got unrecognized line from managment") + line);
        return;
    }

    const QStringView type = QStringView(line).sliced(1, colon - 1);
    const QString payload = line.sliced(colon + 1);
    if (type == u"STATE") {
        handleState(payload);
    } else if (type == u"LOG") {
        StandardOutput::writeLine(payload);
    } else if (type == u"INFO" || type == u"PASSWORD" || type == u"HOLD" || type == u"NEED-OK" || type == u"BYTECOUNT"
        || type == u"PROXY" || type == u"RSA_SIGN") {
        return;
    } else {
        StandardOutput::writeLine(QStringLiteral("MGMT: Got unrecognized command") + line);
    }
}

void ManagementParser::handleState(const QString &payload) const
{
    const qsizetype first = payload.indexOf(u',');
    if (first < 0)
        return;
    const qsizetype second = payload.indexOf(u',', first + 1);
    if (second < 0)
        return;
    m_stateSink(payload.sliced(first + 1, second - first - 1));
}

} // namespace quellnet
