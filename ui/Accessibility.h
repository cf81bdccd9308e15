#pragma once

#include <QColor>
#include <QObject>

class QLineEdit;
class QWidget;

namespace quellnet {

// Tells assistive technology that `widget` is decoration only: it has no name, and a screen reader
// passes over it. Call before anything asks for the widget's accessible interface (creating the
// widget's window does not).
void markDecorative(QWidget *widget);

// Outlines `widget` in the accent colour while it has a keyboard focus that came from the keyboard
// (Tab, Backtab, a shortcut), as the window's flat buttons outline themselves; for controls whose
// own focus cue is too faint on the dark background, such as the check box. GUI thread only.
void showKeyboardFocusOutline(QWidget *widget);

// The focus cue of a frameless text field that an underline marks: while the field has the
// keyboard focus its underline is drawn twice as thick in `focusColor`, otherwise one pixel high
// in `color` along its top. The underline widget is two pixels high, so the cue moves nothing.
// Lives as long as the field; GUI thread only.
class FieldFocusCue : public QObject
{
    Q_OBJECT

public:
    FieldFocusCue(QLineEdit *field, QWidget *underline, const QColor &color, const QColor &focusColor);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLineEdit *m_field;
    QWidget *m_underline;
    QColor m_color;
    QColor m_focusColor;
};

} // namespace quellnet
