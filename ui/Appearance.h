#pragma once

class QApplication;

namespace quellnet {

// The application's look: the Fusion style with a fixed dark palette, so the window, its message
// boxes and the tray menu keep the product's dark scheme whatever theme the desktop uses, and the
// pointing-hand cursor on every button. Call once on the GUI thread, right after the
// QApplication is created and before any window is built.
class Appearance
{
public:
    static void applyTo(QApplication *application);
};

} // namespace quellnet
