#include "app/ApplicationMain.h"

#include "app/AppDelegate.h"
#include "app/Autostart.h"
#include "app/SingleInstance.h"
#include "app/Translations.h"
#include "base/AppPaths.h"
#include "ui/Appearance.h"

#include <QApplication>
#include <QIcon>
#include <QThreadPool>

namespace quellnet {

int applicationMain(int &argc, char **argv)
{
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("quellnet"));
    QApplication::setApplicationName(QStringLiteral("quellnet"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quellnet"));
    QApplication::setApplicationVersion(QStringLiteral(QUELLNET_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("quellnet"));
    QApplication::setWindowIcon(QIcon(AppPaths::resource(QStringLiteral("quellnet.png"))));
    Translations::install(&application);

    SingleInstance singleInstance;
    switch (singleInstance.claim()) {
    case SingleInstance::Role::HandedOver:
        return 0;
    case SingleInstance::Role::Unresponsive:
        qWarning("quellnet is already running but does not answer");
        return 1;
    case SingleInstance::Role::Primary:
        break;
    }

    Appearance::applyTo(&application);
    AppDelegate delegate;
    delegate.setLaunchedAtLogin(QCoreApplication::arguments().contains(Autostart::launchOption()));
    QObject::connect(&singleInstance, &SingleInstance::activationRequested, &delegate, &AppDelegate::reopenWindow);
    delegate.applicationDidFinishLaunching();
    const int status = QApplication::exec();
    // Work still running off the GUI thread (loading the TLS library, reading the shipped helper's
    // version) ends before the delegate and Qt's libraries go; a TLS load racing Qt's teardown of
    // the TLS library was seen to hang the exit.
    QThreadPool::globalInstance()->waitForDone();
    return status;
}

} // namespace quellnet
