#include "ui/Accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>
#include <QFocusEvent>
#include <QFocusFrame>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QWidget>

namespace quellnet {

namespace {

constexpr char kDecorative[] = "quellnet_decorative";

// Qt has no notion of decoration; an unnamed object that is not showing is what screen readers
// skip, so that is what the interface reports.
class DecorativeAccessible : public QAccessibleWidget
{
public:
    explicit DecorativeAccessible(QWidget *widget) : QAccessibleWidget(widget, QAccessible::Graphic) { }

    QString text(QAccessible::Text) const override { return QString(); }

    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.invisible = true;
        state.focusable = false;
        return state;
    }
};

QAccessibleInterface *decorativeFactory(const QString &, QObject *object)
{
    auto *widget = qobject_cast<QWidget *>(object);
    if (widget != nullptr && widget->property(kDecorative).toBool())
        return new DecorativeAccessible(widget);
    return nullptr;
}

// QFocusFrame follows its widget's geometry above the widget's siblings; the application's style
// draws it (CE_FocusFrame).
class KeyboardFocusOutline : public QObject
{
public:
    explicit KeyboardFocusOutline(QWidget *widget) : QObject(widget), m_widget(widget)
    {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_widget)
            return false;
        if (event->type() == QEvent::FocusIn) {
            const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
            if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason || reason == Qt::ShortcutFocusReason)
                frame()->setWidget(m_widget);
        } else if (event->type() == QEvent::FocusOut && m_frame != nullptr) {
            m_frame->setWidget(nullptr);
        }
        return false;
    }

private:
    QFocusFrame *frame()
    {
        if (m_frame == nullptr)
            m_frame = new QFocusFrame(m_widget);
        return m_frame;
    }

    QWidget *m_widget;
    QPointer<QFocusFrame> m_frame;
};

} // namespace

void showKeyboardFocusOutline(QWidget *widget)
{
    new KeyboardFocusOutline(widget);
}

void markDecorative(QWidget *widget)
{
    static const bool installed = [] {
        QAccessible::installFactory(decorativeFactory);
        return true;
    }();
    Q_UNUSED(installed);
    widget->setProperty(kDecorative, true);
}

FieldFocusCue::FieldFocusCue(QLineEdit *field, QWidget *underline, const QColor &color, const QColor &focusColor)
    : QObject(field), m_field(field), m_underline(underline), m_color(color), m_focusColor(focusColor)
{
    m_underline->setAutoFillBackground(false);
    m_field->installEventFilter(this);
    m_underline->installEventFilter(this);
}

bool FieldFocusCue::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_field && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)) {
        m_underline->update();
    } else if (watched == m_underline && event->type() == QEvent::Paint) {
        QPainter painter(m_underline);
        if (m_field->hasFocus())
            painter.fillRect(m_underline->rect(), m_focusColor);
        else
            painter.fillRect(QRect(0, 0, m_underline->width(), 1), m_color);
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace quellnet
