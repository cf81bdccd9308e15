#include "helper/HelperLog.h"

#include <unistd.h>

namespace quellnet {

Q_LOGGING_CATEGORY(lcHelper, "quellnet.helper", QtInfoMsg)

void HelperLog::write(const QString &line)
{
    // One write() per line, so that lines of the helper and of its openvpn never interleave. Lines
    // may carry paths a client chose: control characters go, so that no one can forge a line.
    QByteArray bytes = line.toUtf8();
    for (char &c : bytes) {
        if ((c >= 0 && c < 0x20) || c == 0x7f)
            c = '?';
    }
    bytes.append('\n');
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, size_t(left));
        if (n <= 0)
            return;
        data += n;
        left -= n;
    }
}

} // namespace quellnet
