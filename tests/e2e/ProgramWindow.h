#pragma once

#include "app/AppDelegate.h"
#include "tests/e2e/E2eHarness.h"
#include "ui/FlatButton.h"
#include "ui/MainViewController.h"

#include <QAbstractButton>
#include <QAction>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>

#include <memory>

namespace quellnet::test {

// The real program in this process: the application delegate launched as the program launches it
// (window with the login view, tray menu, the cached connection to the helper daemon on its default
// socket), driven the way a person drives it. Needs a QApplication with the program's look applied;
// the window may be offscreen. GUI thread only.
class ProgramWindow
{
public:
    ProgramWindow() : m_delegate(std::make_unique<AppDelegate>()) { m_delegate->applicationDidFinishLaunching(); }

    AppDelegate &delegate() { return *m_delegate; }
    MainViewController &view() { return *m_delegate->mainViewController(); }
    QString buttonTitle() { return view().connectButton()->text(); }
    QString trayConnectTitle() const
    {
        return m_delegate->connectItem() ? m_delegate->connectItem()->text() : QString();
    }
    bool formEnabled() { return view().emailEdit()->isEnabled() && view().passwordEdit()->isEnabled(); }
    void clickConnect() { QTest::mouseClick(view().connectButton(), Qt::LeftButton); }

    // Replaces what the two fields hold by typing `email` and `password` into them.
    void typeCredentials(const QString &email, const QString &password)
    {
        for (const auto &[field, text] :
            { std::pair { view().emailEdit(), email }, { view().passwordEdit(), password } }) {
            field->setFocus();
            field->selectAll();
            QTest::keyClick(field, Qt::Key_Backspace);
            QTest::keyClicks(field, text);
        }
    }

    // The texts of the error sheets open on the window, left open.
    QStringList sheets() const
    {
        QStringList texts;
        for (const QMessageBox *sheet : m_delegate->window()->findChildren<QMessageBox *>())
            texts.append(sheet->text());
        return texts;
    }

    // The texts of the error sheets open on the window; closes each with its OK button, as a person
    // would, and waits until they are gone.
    QStringList closeSheets()
    {
        QStringList texts;
        for (QMessageBox *sheet : m_delegate->window()->findChildren<QMessageBox *>()) {
            texts.append(sheet->text());
            sheet->button(QMessageBox::Ok)->click();
        }
        waitUntil([this] { return m_delegate->window()->findChildren<QMessageBox *>().isEmpty(); }, 2000);
        return texts;
    }

private:
    std::unique_ptr<AppDelegate> m_delegate;
};

} // namespace quellnet::test
