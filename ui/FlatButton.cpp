#include "ui/FlatButton.h"

#include <QEvent>
#include <QFocusEvent>
#include <QPainter>
#include <QPainterPath>
#include <qdrawutil.h>

namespace quellnet {

namespace {

// The image with a colour laid over its opaque parts only, so rounded corners stay clear.
QPixmap tinted(const QPixmap &image, const QColor &overlay)
{
    QImage canvas = image.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&canvas);
    painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
    painter.fillRect(canvas.rect(), overlay);
    painter.end();
    QPixmap result = QPixmap::fromImage(canvas);
    result.setDevicePixelRatio(image.devicePixelRatio());
    return result;
}

} // namespace

FlatButton::FlatButton(QWidget *parent) : QPushButton(parent)
{
    setFlat(true);
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::TabFocus);
}

void FlatButton::setBackgroundImage(const QPixmap &image, const QMargins &corners)
{
    m_image = image;
    m_corners = corners;
    m_hoverImage = image.isNull() ? QPixmap() : tinted(image, QColor(255, 255, 255, 22));
    m_pressedImage = image.isNull() ? QPixmap() : tinted(image, QColor(0, 0, 0, 40));
    update();
}

void FlatButton::setTextAlignment(Qt::Alignment alignment)
{
    m_alignment = alignment & Qt::AlignHorizontal_Mask;
    update();
}

QSize FlatButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    const int padding = m_image.isNull() ? 2 : 24;
    return QSize(metrics.horizontalAdvance(text()) + 2 * padding, metrics.height() + (m_image.isNull() ? 6 : 20));
}

QSize FlatButton::minimumSizeHint() const
{
    return sizeHint();
}

void FlatButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform | QPainter::TextAntialiasing);
    if (!isEnabled())
        painter.setOpacity(0.5);

    const bool hovered = underMouse() && isEnabled();
    if (!m_image.isNull()) {
        const QPixmap &face = isDown() ? m_pressedImage : hovered ? m_hoverImage : m_image;
        qDrawBorderPixmap(&painter, rect(), m_corners, face);
    }

    QFont titleFont = font();
    if (m_image.isNull() && hovered)
        titleFont.setUnderline(true);
    painter.setFont(titleFont);
    painter.setPen(palette().color(QPalette::ButtonText));
    const int inset = m_image.isNull() ? 2 : m_corners.left();
    const int flags = (m_alignment | Qt::AlignVCenter).toInt() | Qt::TextSingleLine;
    painter.drawText(rect().adjusted(inset, 0, -inset, 0), flags, text());

    if (hasFocus() && m_keyboardFocus) {
        QColor ring = palette().color(QPalette::Highlight);
        ring.setAlpha(200);
        painter.setPen(QPen(ring, 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 7, 7);
    }
}

bool FlatButton::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::HoverEnter:
    case QEvent::HoverLeave:
    case QEvent::FocusOut:
        update();
        break;
    default:
        break;
    }
    return QPushButton::event(event);
}

void FlatButton::focusInEvent(QFocusEvent *event)
{
    // Only a focus reached from the keyboard gets its outline; a click already shows where it went.
    m_keyboardFocus = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason
        || event->reason() == Qt::ShortcutFocusReason;
    QPushButton::focusInEvent(event);
}

} // namespace quellnet
