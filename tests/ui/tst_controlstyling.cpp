#include "Appearance.h"
#include "ControlStyling.h"
#include "FlatButton.h"
#include "GuiTesting.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>

using namespace quellnet;
using quellnet::testing::countPixels;

namespace {

// The horizontal extent of the pixels drawn in `color`: where a title landed.
std::pair<int, int> inkExtent(const QImage &image, const QColor &color)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    int left = rgb.width();
    int right = -1;
    for (int y = 0; y < rgb.height(); ++y) {
        for (int x = 0; x < rgb.width(); ++x) {
            const QColor pixel = rgb.pixelColor(x, y);
            if (std::abs(pixel.red() - color.red()) < 24 && std::abs(pixel.green() - color.green()) < 24
                && std::abs(pixel.blue() - color.blue()) < 24) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
    }
    return { left, right };
}

} // namespace

class TestControlStyling : public QObject
{
    Q_OBJECT

    QPushButton *m_earlyButton = nullptr;

private Q_SLOTS:
    void initTestCase()
    {
        // A button that exists before the application's look is applied still gets the cursor.
        m_earlyButton = new QPushButton;
        m_earlyButton->ensurePolished();
        Appearance::applyTo(qApp);
    }
    void cleanupTestCase() { delete m_earlyButton; }

    void colourHelper_data()
    {
        QTest::addColumn<quint32>("value");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("background") << 0x282C35u << QColor(0x28, 0x2C, 0x35);
        QTest::newRow("grey") << 0x9D9EA2u << QColor(0x9D, 0x9E, 0xA2);
        QTest::newRow("black is opaque") << 0x000000u << QColor(0, 0, 0, 255);
        QTest::newRow("white") << 0xFFFFFFu << QColor(255, 255, 255);
        QTest::newRow("bits above 24 are ignored") << 0x7F9D9EA2u << QColor(0x9D, 0x9E, 0xA2, 255);
    }
    void colourHelper()
    {
        QFETCH(quint32, value);
        QFETCH(QColor, expected);
        QCOMPARE(quellnet::colorFromRgb(value), expected);
    }

    // A second title replaces the first, colour included, in every state of the button; the
    // font and centring hold.
    void setTitleReplacesTitleAndColour()
    {
        FlatButton button;
        setTitle(&button, QStringLiteral("Verbinden"), colorFromRgb(0x9D9EA2));
        setTitle(&button, QStringLiteral("Trennen"), Qt::white);
        QCOMPARE(button.text(), QStringLiteral("Trennen"));
        QCOMPARE(button.font().pointSize(), 14);
        QCOMPARE(button.textAlignment(), Qt::Alignment(Qt::AlignHCenter));
        for (auto group : { QPalette::Active, QPalette::Inactive, QPalette::Disabled })
            QCOMPARE(button.palette().color(group, QPalette::ButtonText), QColor(Qt::white));
    }

    // What a person sees: the title drawn in its colour on the requested side, or nothing at all.
    void titleIsDrawnWhereAligned_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("alignment");
        QTest::addColumn<QString>("side");
        QTest::newRow("centred") << QStringLiteral("Verbinden") << int(Qt::AlignHCenter) << QStringLiteral("centre");
        QTest::newRow("left link") << QStringLiteral("Registrieren") << int(Qt::AlignLeft) << QStringLiteral("left");
        QTest::newRow("right link") << QStringLiteral("Hilfe") << int(Qt::AlignRight) << QStringLiteral("right");
        QTest::newRow("empty title") << QString() << int(Qt::AlignHCenter) << QStringLiteral("none");
    }
    void titleIsDrawnWhereAligned()
    {
        QFETCH(QString, title);
        QFETCH(int, alignment);
        QFETCH(QString, side);
        const QColor ink = colorFromRgb(0xFF4040);
        FlatButton button;
        button.resize(300, 40);
        setTitle(&button, title, ink, 14, Qt::Alignment(alignment));
        const auto [left, right] = inkExtent(button.grab().toImage(), ink);
        if (side == QLatin1String("none")) {
            QCOMPARE(right, -1);
            return;
        }
        QVERIFY2(right > left, "the title is not drawn");
        const int middle = (left + right) / 2;
        if (side == QLatin1String("left"))
            QVERIFY(left < 10);
        else if (side == QLatin1String("right"))
            QVERIFY(right > 290);
        else
            QVERIFY(std::abs(middle - 150) < 10);
    }

    // The hint shows in its colour, left-aligned, at 13 points, only while the field is empty.
    void placeholderShowsOnlyWhileEmpty()
    {
        const QColor grey = colorFromRgb(0xC08040);
        QLineEdit field;
        field.resize(260, 32);
        field.setText(QStringLiteral("x"));
        setPlaceholder(&field, QStringLiteral("E-Mail"), grey);
        setCursorColor(&field, Qt::white);
        QCOMPARE(field.placeholderText(), QStringLiteral("E-Mail"));
        QCOMPARE(field.font().pointSize(), 13);
        QCOMPARE(field.alignment(), Qt::AlignLeft | Qt::AlignVCenter);
        QCOMPARE(countPixels(field.grab().toImage(), grey, 2), 0);

        field.clear();
        const QImage empty = field.grab().toImage();
        QVERIFY(countPixels(empty, grey, 2) > 10);
        QVERIFY(inkExtent(empty, grey).first < 20);
    }

    // The text cursor takes the colour while editing; a disabled field keeps its dimmed text.
    void cursorColour()
    {
        QLineEdit field;
        const QColor dimmed = field.palette().color(QPalette::Disabled, QPalette::Text);
        setCursorColor(&field, colorFromRgb(0x00FF00));
        QCOMPARE(field.palette().color(QPalette::Active, QPalette::Text), QColor(0, 255, 0));
        QCOMPARE(field.palette().color(QPalette::Inactive, QPalette::Text), QColor(0, 255, 0));
        QCOMPARE(field.palette().color(QPalette::Disabled, QPalette::Text), dimmed);
    }

    void everyButtonGetsThePointingHand()
    {
        QWidget window;
        auto *push = new QPushButton(&window);
        auto *flat = new FlatButton(&window);
        auto *check = new QCheckBox(&window);
        auto *radio = new QRadioButton(&window);
        auto *tool = new QToolButton(&window);
        auto *field = new QLineEdit(&window);
        auto *ownCursor = new QPushButton(&window);
        ownCursor->setCursor(Qt::WaitCursor);
        window.show();

        for (QWidget *button : std::initializer_list<QWidget *> { m_earlyButton, push, flat, check, radio, tool })
            QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(field->cursor().shape(), Qt::IBeamCursor);
        QCOMPARE(ownCursor->cursor().shape(), Qt::WaitCursor);

        // Buttons the program never styled itself, such as an alert's, are covered as well.
        QMessageBox box(QMessageBox::Critical, QString(), QStringLiteral("x"), QMessageBox::Ok, &window);
        box.open();
        QCOMPARE(box.button(QMessageBox::Ok)->cursor().shape(), Qt::PointingHandCursor);
    }
};

QTEST_MAIN(TestControlStyling)
#include "tst_controlstyling.moc"
