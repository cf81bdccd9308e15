#pragma once

#include <QObject>

class QApplication;

namespace quellnet {

// Gives every button of the application (push buttons, link buttons, check boxes, the buttons of
// message boxes) the pointing-hand cursor while the mouse is over it. One event filter on the
// application sees each widget once as it is polished, before it is first shown, so buttons
// created at any time are covered without anyone having to ask. Elsewhere the window's normal
// cursor applies, and the window system shows the cursor whether or not the application is
// active.
//
// Install once, on the GUI thread, after the QApplication exists.
class PointingHandCursor : public QObject
{
    Q_OBJECT

public:
    static void install(QApplication *application);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    using QObject::QObject;
};

} // namespace quellnet
