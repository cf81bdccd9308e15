#include "ui/ControlStyling.h"

#include "ui/FlatButton.h"

#include <QAbstractButton>
#include <QFontDatabase>
#include <QLineEdit>
#include <QPalette>

namespace quellnet {

namespace {

QFont systemFont(int pointSize)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(pointSize);
    return font;
}

} // namespace

QColor colorFromRgb(std::uint32_t rgb)
{
    return QColor::fromRgb(
        static_cast<int>((rgb >> 16) & 0xFF), static_cast<int>((rgb >> 8) & 0xFF), static_cast<int>(rgb & 0xFF));
}

void setTitle(QAbstractButton *button, const QString &title, const QColor &color)
{
    setTitle(button, title, color, 14, Qt::AlignHCenter);
}

void setTitle(
    QAbstractButton *button, const QString &title, const QColor &color, int pointSize, Qt::Alignment alignment)
{
    // The colour holds in every state: a title is not greyed out with its button.
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, color);
    palette.setColor(QPalette::WindowText, color);
    button->setPalette(palette);
    button->setFont(systemFont(pointSize));
    if (auto *flat = qobject_cast<FlatButton *>(button))
        flat->setTextAlignment(alignment);
    button->setText(title);
}

void setPlaceholder(QLineEdit *field, const QString &title, const QColor &color)
{
    QPalette palette = field->palette();
    palette.setColor(QPalette::PlaceholderText, color);
    field->setPalette(palette);
    field->setFont(systemFont(13));
    field->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    field->setPlaceholderText(title);
}

void setCursorColor(QLineEdit *field, const QColor &color)
{
    QPalette palette = field->palette();
    palette.setColor(QPalette::Active, QPalette::Text, color);
    palette.setColor(QPalette::Inactive, QPalette::Text, color);
    field->setPalette(palette);
}

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

void setBackgroundColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, color);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

} // namespace quellnet
