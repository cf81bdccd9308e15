// Draws the program's artwork into the two folders given as arguments: into the first the connect
// button's neutral and green backgrounds, the tray icon in its three states at the sizes trays ask
// for, and the application icon at 256 px, into the second the application icon at 48 px for the
// desktop's icon theme (its scalable form, icons/quellnet.svg, is the same drawing written by hand).
// The PNGs are committed; run this again (cmake --build <build> --target artwork) after changing a
// drawing.
//
// The button backgrounds are drawn at twice their on-screen size (280 x 44) so they stay sharp on
// high-density screens; the program stretches them around their rounded corners.

#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

QColor rgb(unsigned value)
{
    return QColor::fromRgb(
        static_cast<int>((value >> 16) & 0xFF), static_cast<int>((value >> 8) & 0xFF), static_cast<int>(value & 0xFF));
}

QImage canvas(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// A rounded button face: a soft vertical gradient, a hairline border and a faint top highlight.
QImage buttonFace(unsigned top, unsigned bottom, unsigned border, unsigned highlight)
{
    constexpr int width = 560;
    constexpr int height = 88;
    constexpr qreal radius = 16;
    QImage image = canvas(width, height);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    const QRectF face = QRectF(image.rect()).adjusted(1, 1, -1, -1);
    QLinearGradient fill(face.topLeft(), face.bottomLeft());
    fill.setColorAt(0, rgb(top));
    fill.setColorAt(1, rgb(bottom));
    painter.setPen(QPen(rgb(border), 2));
    painter.setBrush(fill);
    painter.drawRoundedRect(face, radius, radius);

    QColor shine = rgb(highlight);
    shine.setAlpha(90);
    painter.setPen(QPen(shine, 2));
    painter.setBrush(Qt::NoBrush);
    QPainterPath topEdge;
    topEdge.moveTo(face.left() + radius, face.top() + 2);
    topEdge.lineTo(face.right() - radius, face.top() + 2);
    painter.drawPath(topEdge);
    return image;
}

// A water drop standing in a circle: the product's mark.
QPainterPath drop(QPointF centre, qreal radius, qreal apexDistance)
{
    QPainterPath round;
    round.addEllipse(centre, radius, radius);
    const QPointF apex(centre.x(), centre.y() - apexDistance);
    const qreal angle = std::acos(radius / apexDistance);
    const QPointF left(centre.x() - radius * std::sin(angle), centre.y() - radius * std::cos(angle));
    const QPointF right(centre.x() + radius * std::sin(angle), centre.y() - radius * std::cos(angle));
    QPainterPath point;
    point.moveTo(apex);
    point.lineTo(right);
    point.lineTo(centre);
    point.lineTo(left);
    point.closeSubpath();
    return round.united(point);
}

// The three looks of the mark, one a tunnel state. They differ in colour and in the drop, so they
// stay apart without colour vision too: full when connected, filling up while connecting, an
// outline when not connected.
enum class Look { Connected, Connecting, Disconnected };

struct Palette
{
    unsigned top, bottom, rim;
};

Palette paletteOf(Look look)
{
    switch (look) {
    case Look::Connected:
        return { 0x35D6A6, 0x139A80, 0x0B5E50 }; // teal
    case Look::Connecting:
        return { 0xF7C24E, 0xD98E12, 0x7A4A05 }; // amber
    case Look::Disconnected:
        break;
    }
    return { 0xA7ACB5, 0x6B717C, 0x30343B }; // grey
}

// `rimWidth` 0 takes the radius' fifteenth; tray sizes give a whole pixel at least.
void drawMark(QPainter &painter, QPointF centre, qreal radius, Look look = Look::Connected, qreal rimWidth = 0)
{
    // A disc with a dark rim, so it reads on light panels as well as dark ones, and a white drop,
    // which reads on dark ones.
    const Palette colours = paletteOf(look);
    const qreal rim = rimWidth > 0 ? rimWidth : radius / 15.0;
    QLinearGradient fill(centre.x(), centre.y() - radius, centre.x(), centre.y() + radius);
    fill.setColorAt(0, rgb(colours.top));
    fill.setColorAt(1, rgb(colours.bottom));
    painter.setPen(QPen(rgb(colours.rim), rim));
    painter.setBrush(fill);
    // At tray sizes the rim stays inside the icon's square; the large marks keep their old outline.
    const qreal disc = rimWidth > 0 ? radius - rim / 2 : radius;
    painter.drawEllipse(centre, disc, disc);

    const qreal dropRadius = radius * 0.36;
    const QPointF dropCentre(centre.x(), centre.y() + radius * 0.2);
    const QPainterPath shape = drop(dropCentre, dropRadius, radius * 0.82);
    const qreal outline = std::max<qreal>(rim, radius / 9.0);
    switch (look) {
    case Look::Connected:
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        painter.drawPath(shape);
        break;
    case Look::Connecting: {
        // The lower half of the drop filled, under its outline.
        QPainterPath lower;
        lower.addRect(QRectF(centre.x() - radius, dropCentre.y() - dropRadius * 0.15, 2 * radius, 2 * radius));
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        painter.drawPath(shape.intersected(lower));
        painter.setPen(QPen(Qt::white, outline, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(shape);
        break;
    }
    case Look::Disconnected:
        painter.setPen(QPen(Qt::white, outline, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(shape);
        break;
    }

    // A small glint on a full drop, where there are pixels enough to show it.
    if (look == Look::Connected && radius >= 14) {
        QColor glint = rgb(colours.bottom);
        glint.setAlpha(150);
        painter.setPen(QPen(glint, dropRadius * 0.22, Qt::SolidLine, Qt::RoundCap));
        painter.setBrush(Qt::NoBrush);
        const qreal inner = dropRadius * 0.6;
        painter.drawArc(
            QRectF(dropCentre.x() - inner, dropCentre.y() - inner, 2 * inner, 2 * inner), 200 * 16, 60 * 16);
    }
}

QImage trayIcon()
{
    QImage image = canvas(64, 64);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    drawMark(painter, QPointF(32, 32), 29);
    return image;
}

// Drawn at each size a tray asks for, not scaled down from a large one, so that the rim falls on
// whole pixels: 16, 22 and 24 px, and twice that for high-density screens.
QImage trayIcon(Look look, int size)
{
    QImage image = canvas(size, size);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal rim = std::max<qreal>(1, std::round(size / 16.0));
    drawMark(painter, QPointF(size / 2.0, size / 2.0), size / 2.0, look, rim);
    return image;
}

// Drawn on a 256 px grid and scaled to `size`.
QImage applicationIcon(int size)
{
    QImage image = canvas(size, size);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 256.0, size / 256.0);
    const QRectF tile = QRectF(0, 0, 256, 256).adjusted(8, 8, -8, -8);
    QLinearGradient fill(tile.topLeft(), tile.bottomLeft());
    fill.setColorAt(0, rgb(0x3A404D));
    fill.setColorAt(1, rgb(0x22262E));
    painter.setPen(QPen(rgb(0x474E5C), 3));
    painter.setBrush(fill);
    painter.drawRoundedRect(tile, 54, 54);
    drawMark(painter, tile.center(), 78);
    return image;
}

bool save(const QImage &image, const QDir &folder, const char *name)
{
    const QString path = folder.filePath(QString::fromLatin1(name));
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <images folder> <icons folder>\n", argv[0]);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    const QDir icons(QString::fromLocal8Bit(argv[2]));
    bool ok = save(buttonFace(0x3C414D, 0x333844, 0x4A505E, 0x5A6170), folder, "bg_button.png")
        && save(buttonFace(0x2FC48D, 0x1FA673, 0x1A9064, 0x6FE6B8), folder, "bg_button_green.png")
        && save(trayIcon(), folder, "ic_status.png") && save(applicationIcon(256), folder, "quellnet.png")
        && save(applicationIcon(48), icons, "quellnet-48.png");
    const std::pair<Look, const char *> looks[] { { Look::Connected, "connected" }, { Look::Connecting, "connecting" },
        { Look::Disconnected, "disconnected" } };
    for (const auto &[look, name] : looks) {
        for (int size : { 16, 22, 24, 32, 44, 48 }) {
            const QByteArray file = QByteArray("ic_status_") + name + '_' + QByteArray::number(size) + ".png";
            ok = ok && save(trayIcon(look, size), folder, file.constData());
        }
    }
    return ok ? 0 : 1;
}
