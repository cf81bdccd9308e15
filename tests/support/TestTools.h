#pragma once

#include "engine/TcpSocketTable.h"

#include <QFile>
#include <QTest>

#include <initializer_list>
#include <optional>
#include <utility>

#include <sys/stat.h>

namespace quellnet::test {

// A user of the machine who is neither root nor allowed to use the helper.
inline constexpr uid_t nobody = 65534;

// The whole file; empty when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Replaces what the file holds with `text`.
inline bool writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

// The type and permission bits of what lies at `path` (a link itself, not its target); -1 for nothing.
inline int fileMode(const QString &path)
{
    struct stat info = {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & (S_IFMT | 07777)) : -1;
}

// The owner of a socket listening on port 1337 (openvpn's management port), if one does.
inline std::optional<uint> managementPortListener()
{
    for (const TcpSocketTable::Entry &entry : TcpSocketTable::read()) {
        if (entry.state == TcpSocketTable::Listen && entry.localPort == 1337)
            return entry.uid;
    }
    return std::nullopt;
}

// A data table of one column: a row for each name and value.
template<typename T> void addRows(const char *column, std::initializer_list<std::pair<const char *, T>> rows)
{
    QTest::addColumn<T>(column);
    for (const auto &[name, value] : rows)
        QTest::newRow(name) << value;
}

} // namespace quellnet::test
