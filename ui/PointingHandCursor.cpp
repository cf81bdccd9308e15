#include "ui/PointingHandCursor.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>

namespace quellnet {

void PointingHandCursor::install(QApplication *application)
{
    static const char *const kInstalled = "quellnetPointingHandCursor";
    if (application->property(kInstalled).toBool())
        return;
    application->setProperty(kInstalled, true);
    application->installEventFilter(new PointingHandCursor(application));
    // Buttons that were polished before the filter existed.
    for (QWidget *widget : QApplication::allWidgets()) {
        if (auto *button = qobject_cast<QAbstractButton *>(widget); button && !button->testAttribute(Qt::WA_SetCursor))
            button->setCursor(Qt::PointingHandCursor);
    }
}

bool PointingHandCursor::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Polish) {
        // A button that chose a cursor of its own keeps it.
        auto *button = qobject_cast<QAbstractButton *>(watched);
        if (button && !button->testAttribute(Qt::WA_SetCursor))
            button->setCursor(Qt::PointingHandCursor);
    }
    return false;
}

} // namespace quellnet
