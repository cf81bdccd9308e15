#include "engine/ManagementParser.h"

#include "engine/OpenVPNService.h"
#include "engine/StandardOutput.h"

#include <QStringList>

#include <algorithm>
#include <optional>

namespace quellnet {

ManagementParser::ManagementParser(StateSink stateSink, ManagementObserver *observer)
    : m_stateSink(std::move(stateSink)), m_observer(observer)
{
    if (!m_stateSink) {
        m_stateSink = [](const QString &name) { OpenVPNService::shared().updateState(name); };
        if (m_observer == nullptr)
            m_observer = &OpenVPNService::shared();
    }
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
    } else if (type == u"BYTECOUNT") {
        handleByteCount(payload);
    } else if (type == u"PASSWORD") {
        // ">PASSWORD:Verification Failed: 'Auth'", maybe followed by the server's ['reason'].
        if (m_observer != nullptr && payload.startsWith(QLatin1String("Verification Failed")))
            m_observer->verificationFailed();
    } else if (type == u"INFO" || type == u"HOLD" || type == u"NEED-OK" || type == u"PROXY" || type == u"RSA_SIGN") {
        return;
    } else {
        StandardOutput::writeLine(QStringLiteral("MGMT: Got unrecognized command") + line);
        if (type == u"FATAL" && m_observer != nullptr)
            m_observer->fatalReported(payload);
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
    const QString name = payload.sliced(first + 1, second - first - 1);
    if (m_observer != nullptr) {
        const QStringList fields = payload.split(u',');
        StateReport report;
        report.time = fields.value(0);
        report.name = name;
        report.description = fields.value(2);
        report.tunnelAddress = fields.value(3);
        report.remoteAddress = fields.value(4);
        report.remotePort = fields.value(5);
        report.localAddress = fields.value(6);
        report.localPort = fields.value(7);
        report.tunnelAddress6 = fields.value(8);
        m_observer->stateReported(report);
    }
    m_stateSink(name);
}

void ManagementParser::handleByteCount(const QString &payload) const
{
    // Two unsigned decimals; anything else is not a count and is dropped like the rest.
    const qsizetype comma = payload.indexOf(u',');
    if (m_observer == nullptr || comma < 0)
        return;
    const auto count = [](QStringView digits) -> std::optional<std::uint64_t> {
        bool ok = !digits.isEmpty()
            && std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
        const qulonglong value = ok ? digits.toULongLong(&ok) : 0;
        return ok ? std::optional<std::uint64_t>(value) : std::nullopt;
    };
    const std::optional<std::uint64_t> received = count(QStringView(payload).first(comma));
    const std::optional<std::uint64_t> sent = count(QStringView(payload).sliced(comma + 1));
    if (received && sent)
        m_observer->byteCountReported(*received, *sent);
}

} // namespace quellnet
