// The delegate with the real window and tray, and one running program per user.
#include "app/AppDelegate.h"
#include "app/Autostart.h"
#include "app/StatusMenu.h"
#include "app/StatusNotices.h"
#include "helperlink/LocalHelperConnection.h"
#include "helperlink/PkexecPrivilegeStep.h"
#include "tests/support/GuiTesting.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/TestTools.h"
#include "ui/MainViewController.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QMenu>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

// The icon at `size` pixels for a screen of `ratio`, as a tray would take it.
QImage trayPicture(const QIcon &icon, int size, qreal ratio = 1)
{
    QImage image = icon.pixmap(QSize(size, size), ratio).toImage().convertToFormat(QImage::Format_ARGB32);
    image.setDevicePixelRatio(1);
    return image;
}

// The share of the icon's square that stands out from a panel of `panel`'s colour.
double standsOut(const QImage &icon, QColor panel)
{
    QImage shown(icon.size(), QImage::Format_ARGB32);
    shown.fill(panel);
    QPainter(&shown).drawImage(0, 0, icon);
    int visible = 0;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x)
            visible += std::abs(qGray(shown.pixel(x, y)) - qGray(panel.rgb())) > 60;
    }
    return double(visible) / (shown.width() * shown.height());
}

} // namespace

class TestApplication : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    std::unique_ptr<AppDelegate> m_delegate;

    QWidget *window() const { return m_delegate->window(); }

    // No helper serves, and installing one succeeds at once.
    void launch(bool atLogin = false, bool tray = true)
    {
        m_delegate = std::make_unique<AppDelegate>(
            [] { return std::make_shared<LocalHelperConnection>(u"/nonexistent/helper.sock"_s); },
            std::make_unique<PkexecPrivilegeStep>(u"" QUELLNET_STAND_IN_BIN "/pkexec"_s));
        m_delegate->setSystemTrayProbeForTesting([tray] { return tray; });
        m_delegate->setLaunchedAtLogin(atLogin);
        m_delegate->applicationDidFinishLaunching();
        if (window()->isVisible())
            QVERIFY(QTest::qWaitForWindowActive(window()));
    }

    // desktop-file-validate's complaints about a desktop entry, or nothing when it is not installed.
    static QString validationProblems(const QString &path)
    {
        const QString validator = QStandardPaths::findExecutable(u"desktop-file-validate"_s);
        if (validator.isEmpty())
            return QString();
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(validator, { path });
        if (!validate.waitForFinished(10000))
            return u"desktop-file-validate did not finish"_s;
        const QString output = QString::fromUtf8(validate.readAll()).trimmed();
        return validate.exitCode() == 0 && output.isEmpty() ? QString() : output;
    }

private Q_SLOTS:
    void initTestCase() { setUpGuiTest(m_config); }
    void cleanup() { m_delegate.reset(); }

    void reopenBringsTheSameWindowBack_data()
    {
        QTest::addColumn<QString>("how");
        for (const char *how : { "menu item", "tray click", "reopen request", "minimized" })
            QTest::newRow(how) << QString::fromLatin1(how);
    }
    void reopenBringsTheSameWindowBack()
    {
        QFETCH(QString, how);
        launch();
        QWidget *const original = window();
        if (how == u"minimized")
            original->showMinimized();
        else
            original->close();
        QTRY_VERIFY(!original->isVisible() || original->isMinimized());
        if (how == u"menu item")
            m_delegate->statusMemu()->actions().at(2)->trigger();
        else if (how == u"tray click")
            Q_EMIT m_delegate->statusItem()->activated(QSystemTrayIcon::Trigger);
        else
            QVERIFY(m_delegate->applicationShouldHandleReopen(false));
        QCOMPARE(window(), original);
        QVERIFY(original->isVisible() && !original->isMinimized());
        QVERIFY(QTest::qWaitForWindowActive(original));
    }

    // The tray's "Beim Anmelden starten" writes and removes the autostart entry in the user's
    // configuration folder; the item shows the entry as it is, also after the desktop's own settings
    // changed it, and a failure to write leaves it unticked. Program paths with characters the desktop
    // would take for its own are quoted on the Exec line.
    void autostartEntry()
    {
        launch();
        const QString path = m_config.filePath(u"autostart/quellnet.desktop"_s);
        QCOMPARE(Autostart::entryPath(), path);
        QAction *item = m_delegate->statusMenu()->autostartItem();
        QVERIFY(!QFile::exists(path));
        item->trigger();
        QVERIFY(item->isChecked());
        QFile entry(path);
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(entry.readAll());
        entry.close();
        const QString program = QCoreApplication::applicationFilePath();
        QVERIFY2(text.contains(u"\nExec=%1 --autostart\n"_s.arg(program)), qPrintable(text));
        QVERIFY2(text.contains(u"\nTryExec=%1\n"_s.arg(program)), qPrintable(text));
        QCOMPARE(validationProblems(path), QString());
        item->trigger();
        QVERIFY(!item->isChecked() && !QFile::exists(path));

        const QString odd = Autostart::entryText(u"/opt/Quell Net $2/bin/quell\\net"_s);
        QVERIFY2(
            odd.contains(u"\nExec=\"/opt/Quell Net \\\\$2/bin/quell\\\\\\\\net\" --autostart\n"_s), qPrintable(odd));
        QVERIFY(writeFile(path, odd.toUtf8()));
        QCOMPARE(validationProblems(path), QString());
        QVERIFY(writeFile(path, Autostart::entryText(program).toUtf8() + "Hidden=true\n"));
        Q_EMIT m_delegate->statusMemu()->aboutToShow();
        QVERIFY(!item->isChecked());
        QVERIFY(QFile::remove(path));

        QVERIFY(QDir().mkpath(path)); // a folder where the entry should go
        item->trigger();
        QVERIFY(!item->isChecked());
        QVERIFY(QDir(path).removeRecursively());
    }

    // The tray icon shows the window's display mode, in pictures that differ at every tray size and stand
    // out from dark and light panels alike, drawn for high-density screens rather than scaled up; its
    // tooltip says the state, and since when the tunnel is up at which address.
    void trayIconFollowsTheState()
    {
        launch();
        QSystemTrayIcon *tray = m_delegate->statusItem();
        const qint64 since = QDateTime::currentSecsSinceEpoch() - 90;
        const QString connectedTip
            = u"Verbunden seit %1 · 10.204.0.2"_s.arg(QDateTime::fromSecsSinceEpoch(since).toString(u"HH:mm"_s));
        QList<QIcon> icons;
        for (const auto &[deliver, tip] : { std::pair { u"NOPROCESS"_s, u"Nicht verbunden"_s },
                 { u"WAIT"_s, u"Wird verbunden..."_s }, { connectedReport(since), connectedTip } }) {
            if (deliver.startsWith(u'>'))
                deliverLine(deliver);
            else
                deliverState(deliver);
            QCOMPARE(tray->toolTip(), tip);
            icons << tray->icon();
        }
        for (int size : { 16, 22, 24 }) {
            QList<QImage> pictures;
            for (const QIcon &icon : std::as_const(icons))
                pictures << trayPicture(icon, size) << trayPicture(icon, size, 2);
            for (qsizetype i = 0; i < pictures.size(); ++i) {
                QCOMPARE(pictures[i].width(), size * (i % 2 == 0 ? 1 : 2));
                for (qsizetype j = i + 2; j < pictures.size(); j += 2)
                    QVERIFY2(pictures[i] != pictures[j],
                        qPrintable(u"states %1 and %2 look alike at %3 px"_s.arg(i / 2).arg(j / 2).arg(size)));
                for (const QColor &panel : { QColor(0x20, 0x20, 0x20), QColor(0xF0, 0xF0, 0xF0) })
                    QVERIFY2(standsOut(pictures[i], panel) > 0.3,
                        qPrintable(u"state %1 at %2 px fades into %3"_s.arg(i / 2).arg(size).arg(panel.name())));
            }
        }
        // On a 2x screen, the 22 px icon is the one drawn at 44 px.
        QCOMPARE(trayPicture(icons[2], 22, 2),
            QImage(AppPaths::resource(u"ic_status_connected_44.png"_s)).convertToFormat(QImage::Format_ARGB32));

        // Signing in (the window shows it), then the end of the tunnel.
        deliverState(u"NOPROCESS"_s);
        m_delegate->mainViewController()->showConnecting();
        QCOMPARE(tray->toolTip(), u"Wird verbunden..."_s);
        QCOMPARE(trayPicture(tray->icon(), 22), trayPicture(icons[1], 22));
        m_delegate->mainViewController()->showDisconnected();
        QCOMPARE(tray->toolTip(), u"Nicht verbunden"_s);
        QCOMPARE(trayPicture(tray->icon(), 22), trayPicture(icons[0], 22));
    }

    // A tunnel that comes and goes gets one notice per interval at most: the first at once, a later one
    // once the interval is over, and only if it says something new. That a new run starts afresh and a
    // disconnect of the person's own says nothing, tst_e2e_notifications sees with the real tunnel.
    void noticesOfAFlappingTunnel()
    {
        deliverState(u"NOPROCESS"_s);
        QStringList shown;
        QList<qint64> at;
        QElapsedTimer clock;
        StatusNotices notices([&](const QString &summary, const QString &body) {
            shown << summary + u": "_s + body;
            at << clock.elapsed();
        });
        constexpr int interval = 400;
        notices.setMinimumIntervalForTesting(interval);
        clock.start();
        const qint64 since = QDateTime::currentSecsSinceEpoch();
        const QString connected = u"Verbunden: Verbunden seit %1 · 10.204.0.2"_s.arg(
            QDateTime::fromSecsSinceEpoch(since).toString(u"HH:mm"_s));
        const QString lost = u"Verbindung unterbrochen: Quellnet stellt die VPN-Verbindung wieder her."_s;
        deliverLine(connectedReport(since));
        QCOMPARE(shown, QStringList { connected });
        for (int flap = 0; flap < 20; ++flap) {
            QTest::qWait(50);
            if (flap % 2 == 0)
                deliverState(u"RECONNECTING"_s);
            else
                deliverLine(connectedReport(since));
        }
        deliverState(u"RECONNECTING"_s);
        QTest::qWait(interval + 200);
        QVERIFY2(shown.size() >= 2 && shown.size() <= 4, qPrintable(shown.join(u'\n')));
        for (qsizetype i = 1; i < shown.size(); ++i) {
            QVERIFY2(at[i] - at[i - 1] >= interval - 20, qPrintable(u"%1 ms apart"_s.arg(at[i] - at[i - 1])));
            QVERIFY2(shown[i] != shown[i - 1], qPrintable(shown.join(u"\n"_s)));
        }
        QCOMPARE(shown.last(), lost); // what holds when the flapping stops
    }

    // Started from the autostart entry, the program waits in the tray; with no tray it shows its
    // window, as a person could not reach it otherwise.
    void launchedAtLogin_data() { addRows<bool>("tray", { { "with a tray", true }, { "without a tray", false } }); }
    void launchedAtLogin()
    {
        QFETCH(bool, tray);
        launch(true, tray);
        QCOMPARE(window()->isVisible(), !tray);
        Q_EMIT m_delegate->statusItem()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(window()->isVisible());
    }

    // The real program, twice: the second hands over and ends with 0; the first shows its window. A
    // socket left behind by a crashed program does not block the first.
    void secondProgramHandsOver()
    {
        QTemporaryDir home;
        const QString program = u"" QUELLNET_BUILD_PREFIX "/bin/quellnet"_s;
        ProgramProcess first(program, home.path()), second(program, home.path());
        for (ProgramProcess *process : { &first, &second }) {
            process->setEnvironmentValue(u"QT_LOGGING_RULES"_s, u"quellnet.*.debug=true"_s);
            process->setEnvironmentValue(u"PATH"_s, u"" QUELLNET_STAND_IN_BIN ":"_s + qEnvironmentVariable("PATH"));
        }
        const QString socketPath = home.filePath(u"runtime/quellnet.socket"_s);
        const QByteArray path = QFile::encodeName(socketPath);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address { AF_UNIX, {} };
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
        first.start();
        const auto listening = [&socketPath] {
            QLocalSocket probe;
            probe.connectToServer(socketPath);
            return probe.waitForConnected(100);
        };
        QTRY_VERIFY_WITH_TIMEOUT(listening(), 15000);
        second.start();
        QVERIFY(second.waitForFinished(15000) && second.exitStatus() == QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QStringList firstSaid;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(firstSaid += first.readErrorLines()).filter(u"a later launch asked for the window"_s).isEmpty(), 10000);
        QCOMPARE(first.state(), QProcess::Running);
    }
};

QTEST_MAIN(TestApplication)
#include "tst_application.moc"
