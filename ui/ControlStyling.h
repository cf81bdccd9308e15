#pragma once

#include <QColor>
#include <QString>

#include <cstdint>

class QAbstractButton;
class QLineEdit;
class QWidget;

namespace quellnet {

// Styling of the login view's controls. Every call replaces what an earlier call set on the same
// control and shares nothing with other controls. GUI thread only.

// An opaque colour from a 24-bit 0xRRGGBB value; anything above the low 24 bits is ignored.
QColor colorFromRgb(std::uint32_t rgb);

// The button's title in `color`, in the system font at 14 points, centred.
void setTitle(QAbstractButton *button, const QString &title, const QColor &color);

// The button's title in `color`, in the system font at `pointSize`, with the given horizontal
// alignment (honoured by FlatButton; other buttons keep their style's alignment).
void setTitle(
    QAbstractButton *button, const QString &title, const QColor &color, int pointSize, Qt::Alignment alignment);

// The grey hint a field shows while it is empty, in `color`, left-aligned. A field draws its
// hint in its own font, so the field's font becomes the system font at 13 points as well.
void setPlaceholder(QLineEdit *field, const QString &title, const QColor &color);

// The colour of the field's text cursor. A line edit draws its cursor in its text colour, so
// this is also the colour of the text while the field is enabled; a disabled field keeps the
// dimmed text colour of its palette.
void setCursorColor(QLineEdit *field, const QColor &color);

// Text colour of a label (or any widget that paints its text in the window-text role).
void setTextColor(QWidget *widget, const QColor &color);

// A plain view filled with one colour, like a divider line or a page background.
void setBackgroundColor(QWidget *widget, const QColor &color);

} // namespace quellnet
