// quellnet-demo-driver: the demo without a display. It runs the real program's window offscreen in
// this process, signs in with the demo account of the local stack (<build>/e2e), prints each VPN
// state as the window receives it, saves a screenshot of the connected window, disconnects, and
// exits 0 only if the tunnel came up (CONNECTED, traffic through it) and went down (NOPROCESS, the
// interface gone); 77 when this build signs in somewhere else than at the stand-in.
//
//   quellnet-demo-driver [--screenshot FILE] [--traffic-log FILE]
//
// The screenshot goes to <build>/screenshots/demo-connected.png unless FILE is given. The program's
// standard output (the management traffic, openvpn's own log) stays on standard output, or goes to
// the traffic log, which leaves the console to the driver's lines and the program's system log.
//
// Needs the stack with its helper daemon up (scripts/demo, or `scripts/lib/stack.sh up <build>/e2e
// --with-helper`), a build that signs in at the stand-in, and a user the helper serves.
#include "AppPaths.h"
#include "Appearance.h"
#include "Constant.h"
#include "E2eHarness.h"
#include "E2eStack.h"
#include "LocalHelperConnection.h"
#include "MainViewController.h"
#include "OpenVPNService.h"
#include "ProgramWindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QNetworkInterface>
#include <QTemporaryDir>

#include <cstdio>

using namespace quellnet;
using namespace quellnet::e2e;

namespace {

QElapsedTimer sinceStart;
// Where the driver's own lines go: standard output as it was when the driver started.
FILE *console = stdout;

void say(const QString &line)
{
    std::fprintf(console, "demo [%6.2f s] %s\n", double(sinceStart.elapsed()) / 1000.0, qPrintable(line));
    std::fflush(console);
}

// Exit status of a build that signs in elsewhere: nothing failed, there is nothing to show.
constexpr int wrongBuild = 77;

int fail(const QString &why, int status = 1)
{
    std::fprintf(stderr, "demo: %s: %s\n", status == wrongBuild ? "SKIPPED" : "FAILED", qPrintable(why));
    std::fflush(stderr);
    return status;
}

QString addressOf(const QString &interfaceName)
{
    for (const QNetworkAddressEntry &entry : QNetworkInterface::interfaceFromName(interfaceName).addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
            return entry.ip().toString();
    }
    return {};
}

// Whatever went wrong, no tunnel is left behind by us.
void disconnectIfNeeded(StateTrace &trace)
{
    if (OpenVPNService::isIdleState(OpenVPNService::shared().state()))
        return;
    say(QStringLiteral("disconnecting after the failure"));
    OpenVPNService::shared().stopOpenVPN();
    trace.waitFor(QStringLiteral("NOPROCESS"), 20000);
}

int runDemo(const QString &screenshotPath)
{
    QString why;
    if (!E2eStack::isUp(&why))
        return fail(why + QStringLiteral(" (start it with scripts/demo)"));
    const QString standIn = E2eStack::accountServiceUrl().toString();
    if (Constant::baseURL() != standIn)
        return fail(QStringLiteral("this build signs in at %1, not at the local stand-in %2; build it with "
                                   "-DQUELLNET_ACCOUNT_BASE_URL=%2 -DQUELLNET_ACCOUNT_EXTRA_CA=%3")
                        .arg(Constant::baseURL(), standIn, E2eStack::caPath()),
            wrongBuild);
    if (!QFileInfo::exists(LocalHelperConnection::defaultSocketPath()))
        return fail(QStringLiteral("no helper daemon serves %1").arg(LocalHelperConnection::defaultSocketPath()));
    if (!E2eStack::tunnelInterfaces().isEmpty())
        return fail(QStringLiteral("a tunnel into the stack's network is up already (%1)")
                        .arg(E2eStack::tunnelInterfaces().join(u',')));
    const StackAccount demo = E2eStack::demoAccount();
    if (demo.email.isEmpty())
        return fail(QStringLiteral("the stack has no demo account"));

    ProgramWindow program;
    StateTrace trace([](const QString &state) { say(QStringLiteral("state: ") + state); });
    if (!waitUntil([&] { return program.view().isVisible(); }, 5000))
        return fail(QStringLiteral("the window did not appear"));

    say(QStringLiteral("signing in as %1 and clicking \"%2\"").arg(demo.email, program.buttonTitle()));
    program.typeCredentials(demo.email, demo.password);
    program.clickConnect();
    if (!trace.waitFor(QStringLiteral("CONNECTED"), 60000)) {
        disconnectIfNeeded(trace);
        return fail(
            QStringLiteral("the tunnel did not come up within 60 s (states: %1); the stack's logs are in %2/log")
                .arg(trace.states().join(QStringLiteral(", ")), E2eStack::dir()));
    }
    // The button follows the notification that brought CONNECTED.
    waitUntil([&] { return program.buttonTitle() == QLatin1String("Trennen"); }, 2000);
    say(QStringLiteral("window: button \"%1\", tray item \"%2\"")
            .arg(program.buttonTitle(), program.trayConnectTitle()));

    const QStringList interfaces = E2eStack::tunnelInterfaces();
    if (interfaces.isEmpty()) {
        disconnectIfNeeded(trace);
        return fail(QStringLiteral("CONNECTED, but no interface carries an address of the tunnel network"));
    }
    say(QStringLiteral("tunnel interface %1 with address %2").arg(interfaces.first(), addressOf(interfaces.first())));
    const QByteArray answer = E2eStack::probeThroughTunnel(5000);
    if (answer != E2eStack::probeLine()) {
        disconnectIfNeeded(trace);
        return fail(QStringLiteral("no traffic through the tunnel: %1:%2 answered \"%3\"")
                        .arg(E2eStack::tunnelServer().toString())
                        .arg(E2eStack::probePort())
                        .arg(QString::fromUtf8(answer)));
    }
    say(QStringLiteral("through the tunnel, %1:%2 answered \"%3\"")
            .arg(E2eStack::tunnelServer().toString())
            .arg(E2eStack::probePort())
            .arg(QString::fromUtf8(answer)));

    QDir().mkpath(QFileInfo(screenshotPath).absolutePath());
    if (program.screenshot().save(screenshotPath, "PNG"))
        say(QStringLiteral("screenshot of the connected window: ") + QFileInfo(screenshotPath).absoluteFilePath());
    else
        say(QStringLiteral("could not save the screenshot to %1 (the demo goes on)").arg(screenshotPath));

    say(QStringLiteral("clicking \"%1\"").arg(program.buttonTitle()));
    program.clickConnect();
    if (!trace.waitFor(QStringLiteral("NOPROCESS"), 30000)) {
        disconnectIfNeeded(trace);
        return fail(QStringLiteral("the tunnel did not go down within 30 s (states: %1)")
                        .arg(trace.states().join(QStringLiteral(", "))));
    }
    const QString left = leftoversAfter(10000);
    if (!left.isEmpty())
        return fail(QStringLiteral("after the disconnect: ") + left);
    say(QStringLiteral("window: button \"%1\"; the tunnel interface is gone").arg(program.buttonTitle()));
    say(QStringLiteral("the tunnel came up and went down"));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    sinceStart.start();
    // The real window (offscreen unless a platform is asked for, say xcb under Xvfb), with
    // settings of its own.
    const QTemporaryDir settings;
    if (!useOwnSettingsFolder(settings))
        return fail(QStringLiteral("cannot create a temporary settings folder"));

    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("quellnet"));
    QApplication::setApplicationName(QStringLiteral("quellnet"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quellnet"));

    QString screenshotPath = QStringLiteral(QUELLNET_SCREENSHOT_DIR "/demo-connected.png");
    QString trafficLog;
    const QStringList arguments = QApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--screenshot") && i + 1 < arguments.size()) {
            screenshotPath = arguments.at(++i);
        } else if (arguments.at(i) == QLatin1String("--traffic-log") && i + 1 < arguments.size()) {
            trafficLog = arguments.at(++i);
        } else {
            std::fprintf(stderr, "usage: quellnet-demo-driver [--screenshot FILE] [--traffic-log FILE]\n");
            return 64;
        }
    }
    if (!trafficLog.isEmpty()) {
        if (!divertStandardOutput(trafficLog, &console))
            return fail(QStringLiteral("cannot write %1").arg(trafficLog));
        say(QStringLiteral("the management traffic goes to ") + trafficLog);
    }

    // The program's resources are those of the build this driver belongs to.
    AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
    Appearance::applyTo(&application);
    return runDemo(screenshotPath);
}
