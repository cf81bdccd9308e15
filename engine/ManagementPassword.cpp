#include "engine/ManagementPassword.h"

#include "base/Error.h"
#include "engine/TcpConnection.h"

#include <QByteArray>
#include <QRandomGenerator>

#include <array>

namespace quellnet {

namespace {

using Clock = std::chrono::steady_clock;

// Reads `expected` byte by byte, so that not one byte past it is taken from the connection; false
// as soon as a byte differs, the connection closes or the deadline passes.
bool expect(TcpConnection &connection, QByteArrayView expected, Clock::time_point deadline)
{
    for (const char wanted : expected) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        const std::optional<QByteArray> byte = connection.read(1, left);
        if (!byte || byte->at(0) != wanted)
            return false;
    }
    return true;
}

} // namespace

QString ManagementPassword::generate()
{
    std::array<quint32, 8> words {};
    QRandomGenerator::system()->fillRange(words.data(), qsizetype(words.size()));
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(words.data()), qsizetype(sizeof words)).toHex());
}

bool ManagementPassword::answerPrompt(
    TcpConnection &connection, const QString &password, std::chrono::milliseconds timeout, QString *error)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    if (!expect(connection, "ENTER PASSWORD:", deadline))
        return failWith(error, QStringLiteral("no password prompt"));
    if (!connection.send(password.toLatin1() + '\n', error))
        return false;
    if (!expect(connection, "SUCCESS: password is correct\r\n", deadline))
        return failWith(error, QStringLiteral("the password was not taken"));
    return true;
}

} // namespace quellnet
