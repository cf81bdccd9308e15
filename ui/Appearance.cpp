#include "ui/Appearance.h"

#include "ui/ControlStyling.h"
#include "ui/PointingHandCursor.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>

namespace quellnet {

namespace {

QPalette darkPalette()
{
    const QColor window = colorFromRgb(0x282C35);
    const QColor text = colorFromRgb(0xFFFFFF);
    const QColor muted = colorFromRgb(0x9D9EA2);
    const QColor dimmed = colorFromRgb(0x6B6E76);
    const QColor base = colorFromRgb(0x21252C);
    const QColor button = colorFromRgb(0x363B46);
    const QColor accent = colorFromRgb(0x23B28C);

    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, button);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::PlaceholderText, muted);
    palette.setColor(QPalette::Button, button);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, text);
    palette.setColor(QPalette::Light, button.lighter(140));
    palette.setColor(QPalette::Midlight, button.lighter(120));
    palette.setColor(QPalette::Mid, button.darker(120));
    palette.setColor(QPalette::Dark, window.darker(140));
    palette.setColor(QPalette::Shadow, colorFromRgb(0x111318));
    palette.setColor(QPalette::Highlight, accent);
    palette.setColor(QPalette::HighlightedText, text);
    palette.setColor(QPalette::Link, accent);
    palette.setColor(QPalette::LinkVisited, accent);
    palette.setColor(QPalette::ToolTipBase, button);
    palette.setColor(QPalette::ToolTipText, text);

    for (QPalette::ColorRole role : { QPalette::WindowText, QPalette::Text, QPalette::ButtonText })
        palette.setColor(QPalette::Disabled, role, dimmed);
    palette.setColor(QPalette::Disabled, QPalette::Base, window);
    palette.setColor(QPalette::Disabled, QPalette::Highlight, button);
    return palette;
}

// Fusion, with a check box that stays visible on the dark background: a grey outline when off,
// the accent colour with a white tick when on.
class ProductStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;

    int pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const override
    {
        if (metric == PM_IndicatorWidth || metric == PM_IndicatorHeight)
            return 16;
        if (metric == PM_FocusFrameHMargin || metric == PM_FocusFrameVMargin)
            return 3;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

    int styleHint(
        StyleHint hint, const QStyleOption *option, const QWidget *widget, QStyleHintReturn *returnData) const override
    {
        // The focus frame draws its own rounded outline on a transparent widget; a mask would cut
        // its antialiased edge.
        if (hint == SH_FocusFrame_Mask)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }

    // The keyboard focus outline, as the flat buttons draw theirs: a thin rounded line in the
    // accent colour.
    void drawControl(
        ControlElement element, const QStyleOption *option, QPainter *painter, const QWidget *widget) const override
    {
        if (element != CE_FocusFrame) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        QColor ring = option->palette.color(QPalette::Active, QPalette::Highlight);
        ring.setAlpha(200);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(QPen(ring, 1.5));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(QRectF(option->rect).adjusted(1, 1, -1, -1), 5, 5);
        painter->restore();
    }

    void drawPrimitive(
        PrimitiveElement element, const QStyleOption *option, QPainter *painter, const QWidget *widget) const override
    {
        if (element != PE_IndicatorCheckBox) {
            QProxyStyle::drawPrimitive(element, option, painter, widget);
            return;
        }
        const bool on = option->state.testFlag(State_On);
        const bool partial = option->state.testFlag(State_NoChange);
        const bool hovered = option->state.testFlag(State_MouseOver) && option->state.testFlag(State_Enabled);
        const QColor accent = option->palette.color(QPalette::Active, QPalette::Highlight);

        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        if (!option->state.testFlag(State_Enabled))
            painter->setOpacity(0.45);
        const QRectF box = QRectF(option->rect).adjusted(1, 1, -1, -1);
        if (on || partial) {
            painter->setPen(QPen(accent, 1));
            painter->setBrush(hovered ? accent.lighter(112) : accent);
        } else {
            painter->setPen(QPen(hovered ? colorFromRgb(0xFFFFFF) : colorFromRgb(0x9D9EA2), 1.2));
            painter->setBrush(Qt::NoBrush);
        }
        painter->drawRoundedRect(box, 3.5, 3.5);

        painter->setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter->setBrush(Qt::NoBrush);
        if (on) {
            QPainterPath tick;
            tick.moveTo(box.left() + box.width() * 0.24, box.top() + box.height() * 0.52);
            tick.lineTo(box.left() + box.width() * 0.43, box.top() + box.height() * 0.71);
            tick.lineTo(box.left() + box.width() * 0.77, box.top() + box.height() * 0.31);
            painter->drawPath(tick);
        } else if (partial) {
            painter->drawLine(QPointF(box.left() + box.width() * 0.28, box.center().y()),
                QPointF(box.right() - box.width() * 0.28, box.center().y()));
        }
        painter->restore();
    }
};

} // namespace

void Appearance::applyTo(QApplication *application)
{
    QApplication::setStyle(new ProductStyle(QStyleFactory::create(QStringLiteral("Fusion"))));
    QApplication::setPalette(darkPalette());
    PointingHandCursor::install(application);
}

} // namespace quellnet
