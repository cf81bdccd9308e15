#include "ui/UrlOpener.h"

#include <QDesktopServices>

namespace quellnet {

namespace {

UrlOpener::Handler &testHandler()
{
    static UrlOpener::Handler handler;
    return handler;
}

} // namespace

void UrlOpener::open(const QUrl &url)
{
    if (testHandler()) {
        testHandler()(url);
        return;
    }
    QDesktopServices::openUrl(url);
}

void UrlOpener::setHandlerForTesting(Handler handler)
{
    testHandler() = std::move(handler);
}

} // namespace quellnet
