// The wire protocol's decoders on arbitrary lines: the root helper reads requests from any local
// user, and the client reads replies from whatever listens on the helper's socket.
//
// Whatever the line: a message or a refusal, never both, never neither. An accepted message
// encodes to exactly one line; within the line length limit (escapes can make the line longer
// than the one that was read) it decodes to the same message, and encoding is stable. A
// refusal's text is plain ASCII, because the helper logs it, and carries an id only where one was
// readable.
#include "fuzz/FuzzCheck.h"
#include "helperlink/HelperWire.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

using namespace quellnet;

namespace {

bool isPlainAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

bool isOneLine(const QByteArray &encoded)
{
    return encoded.endsWith('\n') && encoded.count('\n') == 1;
}

QByteArrayView body(QByteArrayView line)
{
    return line.endsWith('\n') ? line.chopped(1) : line;
}

template<typename Message> void checkOutcome(QByteArrayView line, const HelperDecoded<Message> &decoded)
{
    FUZZ_CHECK(decoded.message.has_value() == decoded.error.isEmpty());
    FUZZ_CHECK(isPlainAscii(decoded.error));
    if (decoded.id)
        FUZZ_CHECK(*decoded.id <= HelperWire::maxId);
    if (decoded.message) {
        FUZZ_CHECK(decoded.id && *decoded.id == decoded.message->id);
        FUZZ_CHECK(body(line).size() <= HelperWire::maxLineLength);
    }
}

void checkRequest(QByteArrayView line)
{
    const HelperDecoded<HelperRequest> decoded = HelperWire::decodeRequest(line);
    checkOutcome(line, decoded);
    if (!decoded.message)
        return;

    const HelperRequest &request = *decoded.message;
    if (request.operation == HelperRequest::Operation::RunOpenVPN) {
        FUZZ_CHECK(!request.config.isEmpty());
        for (const QString *path : { &request.config, &request.clientUp, &request.clientDown })
            FUZZ_CHECK(!path->contains(QChar(0)) && path->isValidUtf16());
        // The helper writes it into a file openvpn reads as its first line.
        FUZZ_CHECK(HelperWire::isManagementPassword(request.managementPassword));
        FUZZ_CHECK(!request.managementPassword.contains(u'\n'));
    } else {
        FUZZ_CHECK(request.config.isEmpty() && request.clientUp.isEmpty() && request.clientDown.isEmpty()
            && request.managementPassword.isEmpty());
    }

    const QByteArray encoded = HelperWire::encode(request);
    FUZZ_CHECK(isOneLine(encoded));
    const HelperDecoded<HelperRequest> again = HelperWire::decodeRequest(encoded);
    if (body(encoded).size() > HelperWire::maxLineLength) {
        FUZZ_CHECK(!again.message);
        return;
    }
    FUZZ_CHECK(again.message && *again.message == request);
    FUZZ_CHECK(HelperWire::encode(*again.message) == encoded);
}

void checkReply(QByteArrayView line)
{
    const HelperDecoded<HelperReply> decoded = HelperWire::decodeReply(line);
    checkOutcome(line, decoded);
    if (!decoded.message)
        return;

    const HelperReply &reply = *decoded.message;
    if (reply.kind == HelperReply::Kind::TerminationStatus || reply.kind == HelperReply::Kind::Run)
        FUZZ_CHECK(reply.text.isEmpty());
    if (reply.kind != HelperReply::Kind::TerminationStatus)
        FUZZ_CHECK(reply.terminationStatus == 0);
    if (reply.kind != HelperReply::Kind::Run)
        FUZZ_CHECK(!reply.run);
    else if (reply.run && reply.run->managementPassword)
        FUZZ_CHECK(HelperWire::isManagementPassword(*reply.run->managementPassword));

    const QByteArray encoded = HelperWire::encode(reply);
    FUZZ_CHECK(isOneLine(encoded));
    const HelperDecoded<HelperReply> again = HelperWire::decodeReply(encoded);
    if (body(encoded).size() > HelperWire::maxLineLength) {
        FUZZ_CHECK(!again.message);
        return;
    }
    FUZZ_CHECK(again.message && *again.message == reply);
    FUZZ_CHECK(HelperWire::encode(*again.message) == encoded);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView line(data, qsizetype(size));
    checkRequest(line);
    checkReply(line);
    return 0;
}
