#include "helperlink/HelperWire.h"

#include "base/Error.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <limits>

namespace quellnet {

namespace {

const QString idKey = QStringLiteral("id");
const QString opKey = QStringLiteral("op");
const QString configKey = QStringLiteral("config");
const QString clientUpKey = QStringLiteral("client_up");
const QString clientDownKey = QStringLiteral("client_down");
const QString versionKey = QStringLiteral("version");
const QString terminationStatusKey = QStringLiteral("terminationStatus");
const QString errorKey = QStringLiteral("error");
const QString managementPasswordKey = QStringLiteral("management_password");
const QString runKey = QStringLiteral("run");
const QString ownerKey = QStringLiteral("owner");

const QString getVersionOp = QStringLiteral("getVersion");
const QString runOpenVPNOp = QStringLiteral("runOpenVPN");
const QString killOpenVPNOp = QStringLiteral("killOpenVPN");
const QString getRunOp = QStringLiteral("getRun");

// (uid_t)-1 means "no user" to the kernel's calls, so it never owns a run.
constexpr qint64 maxOwner = qint64 { 0xFFFFFFFE };

// Members are written in a fixed order (QJsonObject would sort them), so the lines read the way
// the protocol is documented.
void appendString(QByteArray &out, const QString &text)
{
    // Qt's writer does the escaping; the one-element array around it is cut off again.
    const QByteArray array = QJsonDocument(QJsonArray { text }).toJson(QJsonDocument::Compact);
    out.append(array.constData() + 1, array.size() - 2);
}

void appendMember(QByteArray &out, const char *name, const QString &value)
{
    out.append(",\"").append(name).append("\":");
    appendString(out, value);
}

QByteArray startObject(std::uint64_t id)
{
    QByteArray out;
    out.reserve(128);
    out.append("{\"id\":").append(QByteArray::number(quint64(id)));
    return out;
}

QByteArray finishObject(QByteArray out)
{
    out.append("}\n");
    return out;
}

QByteArrayView withoutNewline(QByteArrayView line)
{
    if (line.endsWith('\n'))
        line.chop(1);
    return line;
}

// Parses one line into a JSON object, or says why it is none.
std::optional<QJsonObject> parseObject(QByteArrayView line, QString *error)
{
    line = withoutNewline(line);
    if (line.size() > HelperWire::maxLineLength) {
        failWith(error, QStringLiteral("line longer than %1 bytes").arg(HelperWire::maxLineLength));
        return std::nullopt;
    }
    if (line.trimmed().isEmpty()) {
        failWith(error, QStringLiteral("empty line"));
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        failWith(
            error, QStringLiteral("not JSON (%1 at offset %2)").arg(parseError.errorString()).arg(parseError.offset));
        return std::nullopt;
    }
    if (!document.isObject()) {
        failWith(error, QStringLiteral("not a JSON object"));
        return std::nullopt;
    }
    return document.object();
}

std::optional<std::uint64_t> readId(const QJsonObject &object, QString *error)
{
    const QJsonValue value = object.value(idKey);
    if (value.isUndefined()) {
        failWith(error, QStringLiteral("no id"));
        return std::nullopt;
    }
    // toInteger() gives the fallback for anything that is not a whole number.
    const qint64 id = value.isDouble() ? value.toInteger(-1) : -1;
    if (id < 0 || std::uint64_t(id) > HelperWire::maxId) {
        failWith(error, QStringLiteral("id is not a whole number from 0 to 2^53-1"));
        return std::nullopt;
    }
    return std::uint64_t(id);
}

// Parses the line and reads its id into `result`: the object once both worked.
template<typename Message> std::optional<QJsonObject> objectWithId(QByteArrayView line, HelperDecoded<Message> &result)
{
    std::optional<QJsonObject> object = parseObject(line, &result.error);
    if (object)
        result.id = readId(*object, &result.error);
    return result.id ? object : std::nullopt;
}

// True if the object has no members besides `allowed`.
bool onlyMembers(const QJsonObject &object, std::initializer_list<const QString *> allowed)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool known = false;
        for (const QString *name : allowed)
            known = known || it.key() == *name;
        if (!known)
            return false;
    }
    return true;
}

// A text member that names a file: a string without NUL characters or broken UTF-16.
std::optional<QString> readPath(const QJsonObject &object, const QString &key, QString *error)
{
    const QJsonValue value = object.value(key);
    if (!value.isString()) {
        failWith(error, QStringLiteral("\"%1\" is missing or not a string").arg(key));
        return std::nullopt;
    }
    const QString path = value.toString();
    if (path.contains(QChar(0)) || !path.isValidUtf16()) {
        failWith(error, QStringLiteral("\"%1\" is not a usable path").arg(key));
        return std::nullopt;
    }
    return path;
}

std::optional<QString> readManagementPassword(const QJsonObject &object, QString *error)
{
    const QJsonValue value = object.value(managementPasswordKey);
    if (!value.isString() || !HelperWire::isManagementPassword(value.toString())) {
        failWith(error, QStringLiteral("\"management_password\" is missing or not 32 to 128 lowercase hex digits"));
        return std::nullopt;
    }
    return value.toString();
}

// A getRun answer: null, or the run's owner with its password when the caller may have it.
bool readRun(const QJsonValue &value, std::optional<HelperRun> &run, QString *error)
{
    if (value.isNull()) {
        run.reset();
        return true;
    }
    if (!value.isObject())
        return failWith(error, QStringLiteral("\"run\" is neither null nor an object"));
    const QJsonObject object = value.toObject();
    if (!onlyMembers(object, { &ownerKey, &managementPasswordKey }))
        return failWith(error, QStringLiteral("unexpected member in \"run\""));
    const QJsonValue owner = object.value(ownerKey);
    const qint64 uid = owner.isDouble() ? owner.toInteger(-1) : -1;
    if (uid < 0 || uid > maxOwner)
        return failWith(error, QStringLiteral("\"owner\" is missing or not a uid"));
    HelperRun described;
    described.owner = std::uint32_t(uid);
    if (object.contains(managementPasswordKey)) {
        const std::optional<QString> password = readManagementPassword(object, error);
        if (!password)
            return false;
        described.managementPassword = *password;
    }
    run = std::move(described);
    return true;
}

} // namespace

bool HelperWire::isManagementPassword(QStringView text)
{
    if (text.size() < 32 || text.size() > 128)
        return false;
    for (const QChar c : text) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return false;
    }
    return true;
}

QByteArray HelperWire::encode(const HelperRequest &request)
{
    QByteArray out = startObject(request.id);
    switch (request.operation) {
    case HelperRequest::Operation::GetVersion:
        appendMember(out, "op", getVersionOp);
        break;
    case HelperRequest::Operation::RunOpenVPN:
        appendMember(out, "op", runOpenVPNOp);
        appendMember(out, "config", request.config);
        appendMember(out, "client_up", request.clientUp);
        appendMember(out, "client_down", request.clientDown);
        break;
    case HelperRequest::Operation::KillOpenVPN:
        appendMember(out, "op", killOpenVPNOp);
        break;
    case HelperRequest::Operation::GetRun:
        appendMember(out, "op", getRunOp);
        break;
    }
    if (request.operation == HelperRequest::Operation::RunOpenVPN)
        appendMember(out, "management_password", request.managementPassword);
    return finishObject(std::move(out));
}

QByteArray HelperWire::encode(const HelperReply &reply)
{
    QByteArray out = startObject(reply.id);
    switch (reply.kind) {
    case HelperReply::Kind::Version:
        appendMember(out, "version", reply.text);
        break;
    case HelperReply::Kind::TerminationStatus:
        out.append(",\"terminationStatus\":").append(QByteArray::number(reply.terminationStatus));
        break;
    case HelperReply::Kind::Error:
        appendMember(out, "error", reply.text);
        break;
    case HelperReply::Kind::Run:
        if (!reply.run) {
            out.append(",\"run\":null");
            break;
        }
        out.append(",\"run\":{\"owner\":").append(QByteArray::number(reply.run->owner));
        if (reply.run->managementPassword)
            appendMember(out, "management_password", *reply.run->managementPassword);
        out.append('}');
        break;
    }
    return finishObject(std::move(out));
}

HelperDecoded<HelperRequest> HelperWire::decodeRequest(QByteArrayView line)
{
    HelperDecoded<HelperRequest> result;
    const std::optional<QJsonObject> object = objectWithId(line, result);
    if (!object)
        return result;

    HelperRequest request;
    request.id = *result.id;
    const QJsonValue op = object->value(opKey);
    if (!op.isString()) {
        result.error = QStringLiteral("\"op\" is missing or not a string");
        return result;
    }
    if (op.toString() == getVersionOp || op.toString() == killOpenVPNOp || op.toString() == getRunOp) {
        request.operation = op.toString() == getVersionOp ? HelperRequest::Operation::GetVersion
            : op.toString() == killOpenVPNOp              ? HelperRequest::Operation::KillOpenVPN
                                                          : HelperRequest::Operation::GetRun;
        if (!onlyMembers(*object, { &idKey, &opKey })) {
            result.error = QStringLiteral("unexpected member in %1").arg(op.toString());
            return result;
        }
    } else if (op.toString() == runOpenVPNOp) {
        request.operation = HelperRequest::Operation::RunOpenVPN;
        if (!onlyMembers(
                *object, { &idKey, &opKey, &configKey, &clientUpKey, &clientDownKey, &managementPasswordKey })) {
            result.error = QStringLiteral("unexpected member in runOpenVPN");
            return result;
        }
        const auto config = readPath(*object, configKey, &result.error);
        const auto clientUp = config ? readPath(*object, clientUpKey, &result.error) : std::nullopt;
        const auto clientDown = clientUp ? readPath(*object, clientDownKey, &result.error) : std::nullopt;
        const auto password = clientDown ? readManagementPassword(*object, &result.error) : std::nullopt;
        if (!password)
            return result;
        if (config->isEmpty()) {
            result.error = QStringLiteral("\"config\" is empty");
            return result;
        }
        request.config = *config;
        request.clientUp = *clientUp;
        request.clientDown = *clientDown;
        request.managementPassword = *password;
    } else {
        result.error = QStringLiteral("unknown operation");
        return result;
    }
    result.message = std::move(request);
    return result;
}

HelperDecoded<HelperReply> HelperWire::decodeReply(QByteArrayView line)
{
    HelperDecoded<HelperReply> result;
    const std::optional<QJsonObject> object = objectWithId(line, result);
    if (!object)
        return result;
    if (object->size() != 2) {
        result.error = QStringLiteral("a reply holds the id and exactly one answer");
        return result;
    }

    HelperReply reply;
    reply.id = *result.id;
    if (object->contains(versionKey)) {
        const QJsonValue value = object->value(versionKey);
        if (!value.isString()) {
            result.error = QStringLiteral("\"version\" is not a string");
            return result;
        }
        reply.kind = HelperReply::Kind::Version;
        reply.text = value.toString();
    } else if (object->contains(terminationStatusKey)) {
        const QJsonValue value = object->value(terminationStatusKey);
        constexpr qint64 fallback = std::numeric_limits<qint64>::min();
        const qint64 status = value.isDouble() ? value.toInteger(fallback) : fallback;
        if (status < std::numeric_limits<std::int32_t>::min() || status > std::numeric_limits<std::int32_t>::max()) {
            result.error = QStringLiteral("\"terminationStatus\" is not a 32-bit whole number");
            return result;
        }
        reply.kind = HelperReply::Kind::TerminationStatus;
        reply.terminationStatus = std::int32_t(status);
    } else if (object->contains(runKey)) {
        std::optional<HelperRun> run;
        if (!readRun(object->value(runKey), run, &result.error))
            return result;
        reply.kind = HelperReply::Kind::Run;
        reply.run = std::move(run);
    } else if (object->contains(errorKey)) {
        const QJsonValue value = object->value(errorKey);
        if (!value.isString()) {
            result.error = QStringLiteral("\"error\" is not a string");
            return result;
        }
        reply.kind = HelperReply::Kind::Error;
        reply.text = value.toString();
    } else {
        result.error = QStringLiteral("a reply holds the id and exactly one answer");
        return result;
    }
    result.message = std::move(reply);
    return result;
}

} // namespace quellnet
