#include "ProgramWindow.h"

#include "AppDelegate.h"
#include "E2eHarness.h"
#include "FlatButton.h"
#include "MainViewController.h"

#include <QAbstractButton>
#include <QAction>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>

namespace quellnet::e2e {

ProgramWindow::ProgramWindow() : m_delegate(std::make_unique<AppDelegate>())
{
    m_delegate->applicationDidFinishLaunching();
}

ProgramWindow::~ProgramWindow() = default;

MainViewController &ProgramWindow::view()
{
    return *m_delegate->mainViewController();
}

void ProgramWindow::typeCredentials(const QString &email, const QString &password)
{
    for (const auto &[field, text] : { std::pair { view().emailEdit(), email }, { view().passwordEdit(), password } }) {
        field->setFocus();
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }
}

void ProgramWindow::clickConnect()
{
    QTest::mouseClick(view().connectButton(), Qt::LeftButton);
}

QStringList ProgramWindow::closeSheets()
{
    QStringList texts;
    for (QMessageBox *sheet : m_delegate->window()->findChildren<QMessageBox *>()) {
        texts.append(sheet->text());
        sheet->button(QMessageBox::Ok)->click();
    }
    waitUntil([this] { return m_delegate->window()->findChildren<QMessageBox *>().isEmpty(); }, 2000);
    return texts;
}

QString ProgramWindow::buttonTitle()
{
    return view().connectButton()->text();
}

QString ProgramWindow::trayConnectTitle() const
{
    return m_delegate->connectItem() != nullptr ? m_delegate->connectItem()->text() : QString();
}

bool ProgramWindow::formEnabled()
{
    return view().emailEdit()->isEnabled() && view().passwordEdit()->isEnabled();
}

QImage ProgramWindow::screenshot()
{
    return m_delegate->window()->grab().toImage();
}

} // namespace quellnet::e2e
