// quellnet-e2e-program: the program, its own main function unchanged, with a remote control for the
// end-to-end tests that run it as a process of its own (RemoteProgram), as root or as another user,
// and that quit it and start it again.
//
// Commands come on standard input, one a line:
//   click        the login view's connect button, as a person clicks it
//   tray-click   the tray menu's connect item
//   quit         the tray menu's "Beenden"
//   close-sheets the OK button of every error sheet on the window
//   report       the titles and the state now
// What happens goes to standard error, one line each, beside the program's own lines there:
//   @e2e <ms> shown                    the window is on the screen (its first expose)
//   @e2e <ms> titles <button>|<item>   the connect button's and the tray item's titles, whenever the
//                                      item's changes and after every state
//   @e2e <ms> state <name>             the VPN state, as the window receives it
//   @e2e <ms> sheet <text>             an error sheet opened on the window
// <ms> is the monotonic clock in milliseconds, which the test shares. With QUELLNET_E2E_CLICK_AT_LAUNCH
// set, the connect button is clicked as soon as the window has been shown, before the launch's helper
// check can have an answer. Standard output is the program's own (the management traffic).
#include "account/Constant.h"
#include "app/AppDelegate.h"
#include "app/ApplicationMain.h"
#include "app/StatusMenu.h"
#include "engine/NotificationCenter.h"
#include "engine/OpenVPNService.h"
#include "ui/FlatButton.h"
#include "ui/MainViewController.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

using namespace quellnet;

namespace {

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void say(const QString &event)
{
    std::fprintf(stderr, "@e2e %lld %s\n", static_cast<long long>(nowMs()), qPrintable(event));
    std::fflush(stderr);
}

class RemoteControl : public QObject
{
public:
    explicit RemoteControl(QObject *parent) : QObject(parent)
    {
        // Standard input blocks; the commands come back to the GUI thread through the event loop.
        std::thread([this] {
            for (std::string line; std::getline(std::cin, line);) {
                QMetaObject::invokeMethod(
                    this, [this, command = QString::fromStdString(line)] { run(command); }, Qt::QueuedConnection);
            }
        }).detach();
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        AppDelegate *delegate = AppDelegate::instance();
        if (delegate == nullptr || delegate->window() == nullptr)
            return false;
        follow(*delegate);
        if (!m_shown && event->type() == QEvent::Expose && watched == delegate->window()->windowHandle()
            && delegate->window()->windowHandle()->isExposed()) {
            m_shown = true;
            say(QStringLiteral("shown"));
            if (qEnvironmentVariableIsSet("QUELLNET_E2E_CLICK_AT_LAUNCH"))
                QMetaObject::invokeMethod(
                    this, [this] { run(QStringLiteral("click")); }, Qt::QueuedConnection);
        }
        if (event->type() == QEvent::Show) {
            if (auto *sheet = qobject_cast<QMessageBox *>(watched))
                say(QStringLiteral("sheet ") + sheet->text());
        }
        return false;
    }

private:
    // Once the delegate has its window: the item's titles and the states, as the window gets them.
    void follow(AppDelegate &delegate)
    {
        if (m_following)
            return;
        m_following = true;
        if (QAction *item = delegate.connectItem())
            connect(item, &QAction::changed, this, [this] { reportTitles(); });
        NotificationCenter::defaultCenter().addObserver(this, OpenVPNStateDidChange(), [this] {
            say(QStringLiteral("state ") + OpenVPNService::shared().state());
            reportTitles();
        });
    }

    void reportTitles()
    {
        AppDelegate *delegate = AppDelegate::instance();
        if (delegate == nullptr || delegate->mainViewController() == nullptr)
            return;
        const QString titles = delegate->mainViewController()->connectButton()->text() + u'|'
            + (delegate->connectItem() != nullptr ? delegate->connectItem()->text() : QString());
        if (titles == m_lastTitles)
            return;
        m_lastTitles = titles;
        say(QStringLiteral("titles ") + titles);
    }

    void run(const QString &command)
    {
        AppDelegate *delegate = AppDelegate::instance();
        if (delegate == nullptr || delegate->mainViewController() == nullptr) {
            say(QStringLiteral("refused ") + command);
            return;
        }
        if (command == u"click") {
            delegate->mainViewController()->connectButton()->click();
        } else if (command == u"tray-click") {
            delegate->connectItem()->trigger();
        } else if (command == u"quit") {
            delegate->statusMenu()->quitItem()->trigger();
        } else if (command == u"close-sheets") {
            for (QMessageBox *sheet : delegate->window()->findChildren<QMessageBox *>())
                sheet->button(QMessageBox::Ok)->click();
        } else if (command == u"report") {
            m_lastTitles.clear();
            reportTitles();
            say(QStringLiteral("state ") + OpenVPNService::shared().state());
        } else {
            say(QStringLiteral("unknown ") + command);
        }
    }

    bool m_shown = false;
    bool m_following = false;
    QString m_lastTitles;
};

// Runs inside QApplication's constructor, before the program's launch, so that the window's first
// appearance is seen.
void installRemoteControl()
{
    QCoreApplication::instance()->installEventFilter(new RemoteControl(QCoreApplication::instance()));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installRemoteControl)

int main(int argc, char **argv)
{
    // The build's CA may lie in a folder that this user cannot enter; the staging put a copy beside
    // the program's files.
    const QString stagedCA = QDir::cleanPath(
        QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath() + QStringLiteral("/../share/quellnet-e2e/ca.crt"));
    if (QFileInfo::exists(stagedCA))
        Constant::setExtraCACertificateForTesting(stagedCA);
    return applicationMain(argc, argv);
}
