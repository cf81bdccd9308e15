#pragma once

#include <QLocale>
#include <QString>

class QCoreApplication;

namespace quellnet {

// The program's language follows the desktop's. Where the desktop's preferred languages name
// German or English (the first of them that does), the program's texts and Qt's own (the text
// fields' context menus, the standard buttons) are shown in that language. Under any other
// language nothing is loaded, and the program shows its source texts: German labels, English
// messages.
//
// The catalogues are <prefix>/share/quellnet/translations/quellnet_<language>.qm and Qt's
// qtbase_<language>.qm. Called once on the GUI thread, before any window is made.
class Translations
{
public:
    // Installs the translators on `application`, which owns them. Returns the language chosen
    // ("de", "en"), or an empty string when the source texts stay.
    static QString install(QCoreApplication *application, const QLocale &locale = QLocale());

    // Where the program's catalogues are.
    static QString directory();
};

} // namespace quellnet
