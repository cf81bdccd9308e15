#pragma once

// Helpers shared by the widget tests.

#include "AppPaths.h"
#include "Appearance.h"
#include "OpenVPNService.h"
#include "SystemLog.h"

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QRect>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdlib>
#include <mutex>

namespace quellnet::testing {

// Points the settings (and with them the remembered credentials) at a private folder, so a test
// never reads or changes the real ones, finds the staged images, and gives the application its
// real look. Call first, before anything opens the settings.
inline void setUpGuiTest(const QTemporaryDir &config)
{
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
    Appearance::applyTo(qApp);
}

// Changes the VPN state the way the engine does and lets the queued notification arrive.
inline void deliverState(const QString &name)
{
    OpenVPNService::shared().updateState(name);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
}

// Collects the lines written to the system log while it lives.
class LogCapture
{
public:
    LogCapture()
    {
        SystemLog::setSinkForTesting([this](const QString &line) {
            std::lock_guard lock(m_mutex);
            m_lines << line;
        });
    }
    ~LogCapture() { SystemLog::setSinkForTesting({}); }

    QStringList takeLines()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_lines, {});
    }

private:
    std::mutex m_mutex;
    QStringList m_lines;
};

// The pixels of `image` within `tolerance` of `color` in every channel: how many, and the
// rectangle around them (empty when there are none), which tells where a text landed.
struct Ink
{
    int count = 0;
    QRect bounds;
};

inline Ink findInk(const QImage &image, const QColor &color, int tolerance = 10)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    Ink ink;
    for (int y = 0; y < rgb.height(); ++y) {
        for (int x = 0; x < rgb.width(); ++x) {
            const QColor pixel = rgb.pixelColor(x, y);
            if (std::abs(pixel.red() - color.red()) <= tolerance && std::abs(pixel.green() - color.green()) <= tolerance
                && std::abs(pixel.blue() - color.blue()) <= tolerance) {
                ++ink.count;
                ink.bounds |= QRect(x, y, 1, 1);
            }
        }
    }
    return ink;
}

} // namespace quellnet::testing
