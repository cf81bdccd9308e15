#pragma once

#include <QUrl>

#include <functional>

namespace quellnet {

// Opens a web page in the user's default browser. The result is not reported: a page that cannot
// be opened changes nothing in the program. Tests replace the opener to record the URL instead of
// starting a browser. GUI thread only.
class UrlOpener
{
public:
    static void open(const QUrl &url);

    // An empty function restores the desktop's opener.
    using Handler = std::function<void(const QUrl &url)>;
    static void setHandlerForTesting(Handler handler);
};

} // namespace quellnet
