#pragma once

#include <QImage>
#include <QPixmap>
#include <QPushButton>

namespace quellnet {

// A push button drawn without the platform's bevel: an optional background image stretched to the
// button (its corners kept, so a rounded image stays round at any size) with the title drawn over
// it, or just the title, which makes a link-style button. The title uses the button's font and its
// palette's ButtonText colour, aligned as set. Hovering brightens the image, pressing darkens it;
// a button without an image underlines its title on hover instead. A keyboard focus shows as a
// thin outline.
class FlatButton : public QPushButton
{
    Q_OBJECT

public:
    explicit FlatButton(QWidget *parent = nullptr);

    // `image` may carry a device pixel ratio; the corner margins are in device-independent pixels.
    void setBackgroundImage(const QPixmap &image, const QMargins &corners = QMargins(12, 12, 12, 12));
    QPixmap backgroundImage() const { return m_image; }

    void setTextAlignment(Qt::Alignment alignment);
    Qt::Alignment textAlignment() const { return m_alignment; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    bool event(QEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;

private:
    QPixmap m_image;
    QPixmap m_hoverImage;
    QPixmap m_pressedImage;
    QMargins m_corners;
    Qt::Alignment m_alignment = Qt::AlignHCenter;
    bool m_keyboardFocus = false;
};

} // namespace quellnet
