#pragma once

#include <QString>

namespace quellnet {

// The program's XDG autostart entry, quellnet.desktop in the autostart folder of the user's
// configuration ($XDG_CONFIG_HOME/autostart, ~/.config/autostart by default). With it the desktop
// starts the program at every login with launchOption(), and the program then waits in the tray.
// The entry names the program that wrote it, and is skipped once that program is gone.
//
// GUI thread; a few hundred bytes written or removed, nothing else.
class Autostart
{
public:
    static QString entryPath();
    static QString launchOption();

    // An entry that the desktop's own settings turned off (Hidden=true, or
    // X-GNOME-Autostart-enabled=false) counts as off.
    static bool isEnabled();
    // Writes the entry for this program, or removes it.
    static bool setEnabled(bool enabled, QString *error = nullptr);

    static QString entryText(const QString &program);
};

} // namespace quellnet
