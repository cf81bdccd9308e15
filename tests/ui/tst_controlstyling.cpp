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
using namespace quellnet::testing;

class TestControlStyling : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    QPushButton *m_earlyButton = nullptr;

private Q_SLOTS:
    void initTestCase()
    {
        // A button that exists before the application's look is applied still gets the cursor.
        m_earlyButton = new QPushButton;
        m_earlyButton->ensurePolished();
        setUpGuiTest(m_config);
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

    // What a person sees: only the latest title, drawn in its colour on the requested side (the
    // plain setTitle centres), or nothing at all.
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
        const QColor earlier = colorFromRgb(0x40FF40);
        FlatButton button;
        button.resize(300, 40);
        setTitle(&button, QStringLiteral("Verbinden"), earlier, 20, Qt::AlignLeft);
        if (alignment == Qt::AlignHCenter)
            setTitle(&button, title, ink);
        else
            setTitle(&button, title, ink, 14, Qt::Alignment(alignment));
        QCOMPARE(button.font().pointSize(), 14);
        QCOMPARE(findInk(button.grab().toImage(), earlier, 24).count, 0);
        const QRect drawn = findInk(button.grab().toImage(), ink, 24).bounds;
        if (side == QLatin1String("none")) {
            QVERIFY(drawn.isEmpty());
            return;
        }
        QVERIFY2(drawn.width() > 10, "the title is not drawn");
        if (side == QLatin1String("left"))
            QVERIFY(drawn.left() < 10);
        else if (side == QLatin1String("right"))
            QVERIFY(drawn.right() > 290);
        else
            QVERIFY(std::abs(drawn.center().x() - 150) < 10);
    }

    // The hint shows in its colour, left-aligned, at 13 points, only while the field is empty.
    void placeholderShowsOnlyWhileEmpty()
    {
        const QColor grey = colorFromRgb(0xC08040);
        QLineEdit field;
        field.resize(260, 32);
        field.setText(QStringLiteral("x"));
        setPlaceholder(&field, QStringLiteral("E-Mail"), grey);
        QCOMPARE(field.placeholderText(), QStringLiteral("E-Mail"));
        QCOMPARE(field.font().pointSize(), 13);
        QCOMPARE(field.alignment(), Qt::AlignLeft | Qt::AlignVCenter);
        QCOMPARE(findInk(field.grab().toImage(), grey, 2).count, 0);

        field.clear();
        const Ink hint = findInk(field.grab().toImage(), grey, 2);
        QVERIFY(hint.count > 10);
        QVERIFY(hint.bounds.left() < 20);
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
