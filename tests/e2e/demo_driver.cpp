// quellnet-demo-driver [--screenshot FILE] [--traffic-log FILE]: the demo without a display. It runs
// the real window offscreen in this process, signs in with the stack's demo account, prints each VPN
// state as the window gets it, saves a screenshot of the connected window (default
// <build>/screenshots/demo-connected.png) and disconnects. Exit 0 only if the tunnel came up (traffic
// passes) and went down (NOPROCESS, no interface); 77 when this build signs in elsewhere. The
// program's standard output goes to the traffic log if given. Needs the stack and helper (scripts/demo).
#include "account/Constant.h"
#include "base/AppPaths.h"
#include "engine/OpenVPNService.h"
#include "tests/e2e/E2eHarness.h"
#include "tests/e2e/ProgramWindow.h"
#include "ui/Appearance.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QTemporaryDir>

#include <cstdio>

using namespace quellnet;
using namespace quellnet::test;

namespace {

QElapsedTimer sinceStart;
FILE *console = stdout; // standard output as it was when the driver started
constexpr int wrongBuild = 77; // nothing failed, there is nothing to show

void say(const QString &line)
{
    std::fprintf(console, "demo [%6.2f s] %s\n", double(sinceStart.elapsed()) / 1000.0, qPrintable(line));
    std::fflush(console);
}

int fail(const QString &why, int status = 1)
{
    std::fprintf(stderr, "demo: %s: %s\n", status == wrongBuild ? "SKIPPED" : "FAILED", qPrintable(why));
    return status;
}

int runDemo(const QString &screenshotPath)
{
    if (QString why; !stackIsReady(&why))
        return fail(why + QStringLiteral(" (start it with scripts/demo)"));
    const QString standIn = E2eStack::accountServiceUrl().toString();
    if (Constant::baseURL() != standIn)
        return fail(QStringLiteral("this build signs in at %1, not at the local stand-in %2; build it with "
                                   "-DQUELLNET_ACCOUNT_BASE_URL=%2 -DQUELLNET_ACCOUNT_EXTRA_CA=%3")
                        .arg(Constant::baseURL(), standIn, E2eStack::caPath()),
            wrongBuild);

    const StackAccount demo = E2eStack::demoAccount();
    ProgramWindow program;
    StateTrace trace([](const QString &state) { say(QStringLiteral("state: ") + state); });
    // Whatever went wrong, no tunnel is left behind by us.
    const auto failConnected = [&](const QString &what) {
        if (!OpenVPNService::isIdleState(OpenVPNService::shared().state())) {
            OpenVPNService::shared().stopOpenVPN();
            trace.waitFor(QStringLiteral("NOPROCESS"), 20000);
        }
        return fail(what);
    };
    if (!waitUntil([&] { return program.view().isVisible(); }, 5000))
        return fail(QStringLiteral("the window did not appear"));

    say(QStringLiteral("signing in as %1 and clicking \"%2\"").arg(demo.email, program.buttonTitle()));
    program.typeCredentials(demo.email, demo.password);
    program.clickConnect();
    if (!trace.waitFor(QStringLiteral("CONNECTED"), 60000))
        return failConnected(QStringLiteral("no tunnel within 60 s (states: %1); the stack's logs are in %2/log")
                                 .arg(trace.states().join(QStringLiteral(", ")), E2eStack::dir()));
    // The button follows the notification that brought CONNECTED.
    waitUntil([&] { return program.buttonTitle() == QLatin1String("Trennen"); }, 2000);
    say(QStringLiteral("window: button \"%1\", tray item \"%2\", form %3")
            .arg(program.buttonTitle(), program.trayConnectTitle(),
                program.formEnabled() ? QStringLiteral("enabled") : QStringLiteral("disabled")));
    const QStringList interfaces = E2eStack::tunnelInterfaces();
    const QByteArray answer = E2eStack::probeThroughTunnel(5000);
    const QString probe = QStringLiteral("%1:%2").arg(E2eStack::tunnelServer().toString()).arg(E2eStack::probePort());
    if (interfaces.size() != 1 || answer != E2eStack::probeLine())
        return failConnected(QStringLiteral("no traffic through the tunnel (interfaces: %1): %2 answered \"%3\"")
                                 .arg(interfaces.join(u','), probe, QString::fromUtf8(answer)));
    say(QStringLiteral("through %1, %2 answered \"%3\"").arg(interfaces.first(), probe, QString::fromUtf8(answer)));

    // openvpn counts the traffic once a second, and the window shows it at its next tick.
    waitUntil([] { return OpenVPNService::shared().traffic().received > 0; }, 5000);
    QTest::qWait(1100);
    const auto shown = [&program](const char *name) {
        const auto *value = program.view().findChild<QLabel *>(QString::fromLatin1(name));
        return value != nullptr ? value->text() : QString();
    };
    say(QStringLiteral("window: address %1, server %2, connected for %3, received %4, sent %5")
            .arg(shown("addressValue"), shown("serverValue"), shown("durationValue"), shown("receivedValue"),
                shown("sentValue")));
    const bool saved = QDir().mkpath(QFileInfo(screenshotPath).absolutePath())
        && program.delegate().window()->grab().toImage().save(screenshotPath, "PNG");
    say((saved ? QStringLiteral("screenshot of the connected window: %1") : QStringLiteral("could not save %1"))
            .arg(QFileInfo(screenshotPath).absoluteFilePath()));
    say(QStringLiteral("clicking \"%1\"").arg(program.buttonTitle()));
    trace.clear();
    program.clickConnect();
    if (!trace.waitFor(QStringLiteral("NOPROCESS"), 30000))
        return failConnected(QStringLiteral("the tunnel did not go down within 30 s (states: %1)")
                                 .arg(trace.states().join(QStringLiteral(", "))));
    if (QString left; !nothingLeftAfter(10000, &left))
        return fail(QStringLiteral("after the disconnect: ") + left);
    say(QStringLiteral("window: button \"%1\"; the tunnel came up and went down").arg(program.buttonTitle()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    sinceStart.start();
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
    for (qsizetype i = 1; i < arguments.size(); i += 2) {
        const bool screenshot = arguments.at(i) == QLatin1String("--screenshot");
        if (i + 1 == arguments.size() || (!screenshot && arguments.at(i) != QLatin1String("--traffic-log"))) {
            std::fprintf(stderr, "usage: quellnet-demo-driver [--screenshot FILE] [--traffic-log FILE]\n");
            return 64;
        }
        (screenshot ? screenshotPath : trafficLog) = arguments.at(i + 1);
    }
    if (!trafficLog.isEmpty()) {
        if (!divertStandardOutput(trafficLog, &console))
            return fail(QStringLiteral("cannot write %1").arg(trafficLog));
        say(QStringLiteral("the management traffic goes to ") + trafficLog);
    }
    AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
    Appearance::applyTo(&application);
    return runDemo(screenshotPath);
}
