#pragma once

#include <QString>

namespace quellnet {

// Where the program's own files are. Everything is found relative to the running executable,
// <prefix>/bin/quellnet: resources in <prefix>/share/quellnet, the shipped helper in
// <prefix>/lib/quellnet. The build tree stages the same layout, so this holds while developing
// and once installed alike.
class AppPaths
{
public:
    // The prefix above bin/. Tests, which do not run from <prefix>/bin, set it explicitly.
    static QString prefix();
    static void setPrefixForTesting(const QString &prefix);

    // Full path of a resource file such as "client.up" or "bg_button.png".
    static QString resource(const QString &fileName);
    // Full path of the helper daemon that ships with this program.
    static QString shippedHelper();
};

} // namespace quellnet
