#pragma once

#include <QByteArray>
#include <QString>

namespace quellnet {

// The file in which the connect flow hands openvpn's configuration to the helper: quellnet.ovpn in a
// folder of the user's own, $XDG_RUNTIME_DIR/quellnet (0700), or, when there is no usable runtime
// folder, a private folder made with mkdtemp under the temporary directory, kept for the process's
// life and removed when it exits. Nobody else can put anything in the way there, as anyone could in
// a fixed path under the shared /tmp.
//
// write() never follows a symbolic link and never opens what lies at the file's path, so a FIFO or a
// device there cannot block it: it writes a new file beside it (0600) and renames it into place.
// Anything at the path that is not a regular file of the user's own (a link, a folder, a FIFO,
// someone else's file) makes it fail and stays as it is. write() touches the file system and may
// block: call it off the GUI thread. Both functions are thread-safe.
class ConfigurationFile
{
public:
    // Where the file is (or will be); empty when no private folder can be had.
    static QString path();

    // Replaces the file's contents with `text`, all at once.
    static bool write(const QByteArray &text, QString *error = nullptr);
};

} // namespace quellnet
