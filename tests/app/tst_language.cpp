// The program's texts in the desktop's language. Registered four times (see CMakeLists.txt): under
// de_DE, en_US, fr_FR and C, the desktop's language as the environment gives it.
#include "app/AppDelegate.h"
#include "app/StatusMenu.h"
#include "app/Translations.h"
#include "helperlink/LocalHelperConnection.h"
#include "helperlink/PkexecPrivilegeStep.h"
#include "tests/support/GuiTesting.h"
#include "ui/FlatButton.h"
#include "ui/MainViewController.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QSet>
#include <QTest>
#include <QXmlStreamReader>

#include <functional>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

// The source texts of a catalogue, or their translations.
QSet<QString> catalogue(const QString &language, bool translations)
{
    QFile file(u"" QUELLNET_SOURCE_DIR "/resources/translations/quellnet_%1.ts"_s.arg(language));
    QSet<QString> texts;
    if (!file.open(QIODevice::ReadOnly))
        return texts;
    const QString wanted = translations ? u"translation"_s : u"source"_s;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == wanted)
            texts.insert(xml.readElementText());
    }
    return texts;
}

} // namespace

class TestLanguage : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    QString m_language;
    std::unique_ptr<AppDelegate> m_delegate;

    MainViewController *view() const { return m_delegate->mainViewController(); }

    QString textOf(const QString &what)
    {
        StatusMenu *menu = m_delegate->statusMenu();
        const QHash<QString, std::function<QString()>> shown {
            { u"connect button"_s, [&] { return view()->connectButton()->text(); } },
            { u"sign-up link"_s, [&] { return view()->signupButton()->text(); } },
            { u"help link"_s, [&] { return view()->helpButton()->text(); } },
            { u"e-mail placeholder"_s, [&] { return view()->emailEdit()->placeholderText(); } },
            { u"password placeholder"_s, [&] { return view()->passwordEdit()->placeholderText(); } },
            { u"check box caption"_s, [&] { return view()->rememberText()->text(); } },
            { u"check box name"_s,
                [&] { return QAccessible::queryAccessibleInterface(view()->rememberCheck())->text(QAccessible::Name); } },
            { u"tray: connect"_s, [&] { return menu->connectItem()->text(); } },
            { u"tray: window"_s, [&] { return menu->showWindowItem()->text(); } },
            { u"tray: autostart"_s, [&] { return menu->autostartItem()->text(); } },
            { u"tray: quit"_s, [&] { return menu->quitItem()->text(); } },
        };
        if (const auto text = shown.value(what))
            return text();
        if (what == u"connect button, connected") {
            deliverState(u"CONNECTED"_s);
            const QString title = view()->connectButton()->text() + u" / "_s + menu->connectItem()->text();
            deliverState(u"NOPROCESS"_s);
            return title;
        }
        if (what == u"sheet") {
            view()->emailEdit()->clear();
            QTest::mouseClick(view()->connectButton(), Qt::LeftButton);
            auto *sheet = m_delegate->window()->findChild<QMessageBox *>();
            const QString text = sheet ? sheet->text() : QString();
            delete sheet;
            return text;
        }
        if (what == u"Qt's context menu") {
            const std::unique_ptr<QMenu> context(view()->emailEdit()->createStandardContextMenu());
            return context->actions().constFirst()->text().section(u'\t', 0, 0); // without its shortcut
        }
        return u"(unknown: %1)"_s.arg(what);
    }

    // Every text the window and the tray menu show, and every name they give assistive technology.
    QStringList visibleTexts() const
    {
        QStringList texts;
        QWidgetList widgets = m_delegate->window()->findChildren<QWidget *>();
        widgets << m_delegate->window();
        for (const QWidget *widget : std::as_const(widgets)) {
            texts << widget->accessibleName() << widget->accessibleDescription() << widget->toolTip();
            if (const auto *label = qobject_cast<const QLabel *>(widget))
                texts << label->text();
            if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
                texts << button->text();
            if (const auto *field = qobject_cast<const QLineEdit *>(widget))
                texts << field->placeholderText();
        }
        texts << m_delegate->window()->windowTitle();
        for (const QAction *item : m_delegate->statusMemu()->actions())
            texts << item->text() << item->toolTip();
        texts.removeAll(QString());
        return texts;
    }

private Q_SLOTS:
    void initTestCase()
    {
        setUpGuiTest(m_config);
        m_language = Translations::install(qApp);
        m_delegate = std::make_unique<AppDelegate>(
            [] { return std::make_shared<LocalHelperConnection>(u"/nonexistent/helper.sock"_s); },
            std::make_unique<PkexecPrivilegeStep>(u"" QUELLNET_STAND_IN_BIN "/pkexec"_s));
        m_delegate->setSystemTrayProbeForTesting([] { return true; });
        m_delegate->applicationDidFinishLaunching();
        QVERIFY(QTest::qWaitForWindowExposed(m_delegate->window()));
    }

    void cleanupTestCase() { m_delegate.reset(); }

    void texts_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("source"); // as today, under any other language
        QTest::addColumn<QString>("german");
        QTest::addColumn<QString>("english");
        // The German text is the source text where none is given.
        const struct
        {
            const char *what, *source, *english, *german = nullptr;
        } rows[] = {
            { "connect button", "Verbinden", "Connect" },
            { "connect button, connected", "Trennen / Trennen", "Disconnect / Disconnect" },
            { "sign-up link", "Registrieren", "Sign up" },
            { "help link", "Hilfe", "Help" },
            { "e-mail placeholder", "E-Mail", "Email" },
            { "password placeholder", "Passwort", "Password" },
            { "check box caption", "Angemeldet bleiben", "Stay signed in" },
            { "check box name", "Angemeldet bleiben", "Stay signed in" },
            { "tray: connect", "Verbinden", "Connect" },
            { "tray: window", "Fenster öffnen", "Open window" },
            { "tray: autostart", "Beim Anmelden starten", "Start at login" },
            { "tray: quit", "Beenden", "Quit" },
            { "sheet", "Email should not be empty!", "Email should not be empty!",
                "Die E-Mail-Adresse darf nicht leer sein!" },
            { "Qt's context menu", "&Undo", "&Undo", "&Rückgängig" },
        };
        for (const auto &row : rows) {
            const QString source = QString::fromUtf8(row.source);
            QTest::newRow(row.what) << QString::fromUtf8(row.what) << source
                                    << (row.german ? QString::fromUtf8(row.german) : source)
                                    << QString::fromUtf8(row.english);
        }
    }
    void texts()
    {
        QFETCH(QString, what);
        QFETCH(QString, source);
        QFETCH(QString, german);
        QFETCH(QString, english);
        QCOMPARE(textOf(what), m_language == u"de" ? german : m_language == u"en" ? english : source);
    }

    // A text shown without going through the catalogue would stay in its source language, or would
    // not be in the catalogue at all: every text on show is a translation (or, untranslated, a
    // source text) of the catalogue, or the product's name.
    void nothingOnShowEscapesTheCatalogue()
    {
        const QSet<QString> known = m_language.isEmpty() ? catalogue(u"de"_s, false) : catalogue(m_language, true);
        QVERIFY(!known.isEmpty());
        for (const QString &text : visibleTexts())
            QVERIFY2(known.contains(text) || text == u"Quellnet", qPrintable(u"not from the catalogue: "_s + text));
    }
};

QTEST_MAIN(TestLanguage)
#include "tst_language.moc"
