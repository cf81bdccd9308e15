#include "app/ApplicationMain.h"

#include "app/AppDelegate.h"
#include "app/Autostart.h"
#include "app/SingleInstance.h"
#include "app/Translations.h"
#include "base/AppPaths.h"
#include "ui/Appearance.h"

#include <QApplication>
#include <QIcon>

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
    return QApplication::exec();
}

} // namespace quellnet
