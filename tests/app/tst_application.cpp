// The delegate with the real window and tray, the helper check at launch, one running program per user,
// and the program's texts in the desktop's language. The language's cases run once more under de_DE,
// en_US and fr_FR (see CMakeLists.txt); the run of every case is under C.
#include "app/AppDelegate.h"
#include "app/Autostart.h"
#include "app/StatusMenu.h"
#include "app/StatusNotices.h"
#include "app/Translations.h"
#include "engine/OpenVPNService.h"
#include "helperlink/LocalHelperConnection.h"
#include "helperlink/PkexecPrivilegeStep.h"
#include "tests/support/GuiTesting.h"
#include "tests/support/HelperSocketStandIn.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/TestTools.h"
#include "ui/FlatButton.h"
#include "ui/MainViewController.h"

#include <QAction>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QXmlStreamReader>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

const QString bundleLine = u"Helper: Bundle Version => " QUELLNET_VERSION ""_s;
const QString installedLine = u"" QUELLNET_HELPER_ID " installed successfully"_s;

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

struct Message
{
    QString context;
    QString source;
    QString translation;
    bool finished = false;
};

// The messages of a catalogue that are in use (neither vanished nor obsolete).
QList<Message> readCatalogue(const QString &path)
{
    QList<Message> messages;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return messages;
    QXmlStreamReader xml(&file);
    QString context;
    Message message;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"name") {
            context = xml.readElementText();
        } else if (xml.name() == u"message") {
            message = Message { context, {}, {}, false };
        } else if (xml.name() == u"source") {
            message.source = xml.readElementText();
        } else if (xml.name() == u"translation") {
            const QStringView type = xml.attributes().value(u"type"_s);
            message.finished = type.isEmpty();
            message.translation = xml.readElementText();
            if (type != u"vanished" && type != u"obsolete")
                messages << message;
        }
    }
    return messages;
}

QString committedCatalogue(const QString &language)
{
    return u"" QUELLNET_SOURCE_DIR "/resources/translations/quellnet_%1.ts"_s.arg(language);
}

QStringList placeholders(const QString &text)
{
    static const QRegularExpression pattern(u"%L?\\d+"_s);
    QStringList found;
    for (const QRegularExpressionMatch &match : pattern.globalMatch(text))
        found << match.captured();
    found.sort();
    return found;
}

} // namespace

class TestApplication : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    std::unique_ptr<QTemporaryDir> m_dir; // the helper's socket and pkexec, a test's own
    std::unique_ptr<AppDelegate> m_delegate;
    std::unique_ptr<OutputCapture> m_output;
    QString m_language; // of the translations loaded

    QWidget *window() const { return m_delegate->window(); }
    QString socketPath() const { return m_dir->filePath(u"helper.sock"_s); }
    // What pkexec was asked to run, a line each time.
    QStringList prompts() const
    {
        return QString::fromUtf8(readFile(m_dir->filePath(u"prompts"_s))).split(u'\n', Qt::SkipEmptyParts);
    }

    // Unless a test serves one on socketPath(), no helper serves. pkexec is a script that notes each
    // prompt and then runs `shell`.
    void launch(const QString &shell = u"exit 0"_s, bool atLogin = false, bool tray = true)
    {
        const QString pkexec = m_dir->filePath(u"pkexec"_s);
        QVERIFY(writeFile(pkexec, u"#!/bin/sh\necho \"$*\" >>%1/prompts\n%2\n"_s.arg(m_dir->path(), shell).toUtf8()));
        QVERIFY(QFile::setPermissions(pkexec, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        m_delegate
            = std::make_unique<AppDelegate>([this] { return std::make_shared<LocalHelperConnection>(socketPath()); },
                std::make_unique<PkexecPrivilegeStep>(pkexec));
        m_delegate->setSystemTrayProbeForTesting([tray] { return tray; });
        m_delegate->setLaunchedAtLogin(atLogin);
        m_delegate->applicationDidFinishLaunching();
        if (window()->isVisible())
            QVERIFY(QTest::qWaitForWindowActive(window()));
    }

    QStringList logUntil(const QString &line, int timeoutMs = 5000)
    {
        QStringList lines;
        static_cast<void>(
            QTest::qWaitFor([&] { return (lines += m_output->takeLogLines()).contains(line); }, timeoutMs));
        return lines;
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
        m_output = std::make_unique<OutputCapture>();
    }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_output->clear();
    }
    void cleanup() { m_delegate.reset(); }
    void cleanupTestCase() { m_output.reset(); }

    // The form is usable while the check waits; the same version keeps the helper and the connection
    // the check opened. Then it asks for a tunnel an earlier launch left running; another user's is
    // left alone.
    void currentHelperIsKept()
    {
        HelperSocketStandIn installed(socketPath());
        launch();
        // The version is read on a thread of its own; its line comes back through the event loop, which
        // must run before the test blocks on the helper's socket.
        QVERIFY(QTest::qWaitFor([this] { return !m_output->logLines().isEmpty(); }));
        QLocalSocket *client = installed.acceptClient();
        MainViewController *view = m_delegate->mainViewController();
        QTest::keyClicks(view->emailEdit(), u"anna@example.ch"_s);
        QTest::mouseClick(view->rememberCheck(), Qt::LeftButton);
        QVERIFY(view->emailEdit()->text() == u"anna@example.ch"_s && view->rememberCheck()->isChecked());
        QCOMPARE(m_output->takeLogLines(), QStringList { bundleLine });

        const HelperConnectionPtr checked = m_delegate->xpcHelperConnection();
        using Op = HelperRequest::Operation;
        QVERIFY(HelperSocketStandIn::answer(client, Op::GetVersion, versionReply(0)));
        const QString answer = u"Helper: Installed Version => " QUELLNET_VERSION ""_s;
        QCOMPARE(logUntil(answer), QStringList { answer });
        QTRY_VERIFY(client->canReadLine()); // once the GUI thread has taken the answer in
        QVERIFY(HelperSocketStandIn::answer(client, Op::GetRun, runReply(0, HelperRun { 4242, {} })));
        QTRY_VERIFY(!OpenVPNService::shared().isStarting());
        QTest::qWait(200);
        QVERIFY(prompts().isEmpty());
        QCOMPARE(m_delegate->helperConnection(), checked);
        QCOMPARE(installed.acceptClient(200), nullptr);
        QCOMPARE(view->connectButton()->text(), u"Verbinden"_s);
        QCOMPARE(m_delegate->connectItem()->text(), u"Verbinden"_s);
        QCOMPARE(OpenVPNService::shared().state(), u"NOPROCESS"_s);
    }

    // Any other answer, or none, installs the shipped helper, once; the newly installed helper is asked
    // for a tunnel to take over, on a connection of its own. What the install step does as root,
    // tst_helperdaemon sees.
    void otherHelperIsReplaced_data()
    {
        addRows<QString>("installedVersion", { { "older", u"0.9.0"_s }, { "first run, none reachable", QString() } });
    }
    void otherHelperIsReplaced()
    {
        QFETCH(QString, installedVersion);
        std::optional<HelperSocketStandIn> installed;
        if (!installedVersion.isNull())
            installed.emplace(socketPath());
        launch();
        if (installed) {
            QVERIFY(QTest::qWaitFor([this] { return !m_output->logLines().isEmpty(); }));
            QVERIFY(HelperSocketStandIn::answer(
                installed->acceptClient(), HelperRequest::Operation::GetVersion, versionReply(0, installedVersion)));
        }
        const QStringList lines = logUntil(installedLine, 30000);
        const QString answerLine = installedVersion.isNull() ? u"The connection to service named " QUELLNET_HELPER_ID
                                                               " was invalidated"_s
                                                             : u"Helper: Installed Version => "_s + installedVersion;
        QVERIFY2(lines.size() >= 3 && lines.first() == bundleLine && lines.at(1).startsWith(answerLine),
            qPrintable(lines.join(u'\n')));
        QCOMPARE(prompts(), QStringList { AppPaths::shippedHelper() + u" --install"_s });
        if (installed) {
            QVERIFY(HelperSocketStandIn::answer(
                installed->acceptClient(), HelperRequest::Operation::GetRun, runReply(0, {})));
            QTRY_VERIFY(!OpenVPNService::shared().isStarting());
        }
    }

    // The application quits, its window shown, after one line that says why.
    void failedInstallationQuits_data()
    {
        QTest::addColumn<QString>("shell");
        QTest::addColumn<QString>("line");
        QTest::newRow("prompt dismissed")
            << u"echo 'Error executing command as another user: Request dismissed' >&2; exit 126"_s
            << u"Authorization error: The request for the administrator's authorization was dismissed."_s;
        QTest::newRow("install step fails")
            << u"echo '/x is not a folder' >&2; exit 1"_s << u"Bless Error: /x is not a folder"_s;
    }
    void failedInstallationQuits()
    {
        QFETCH(QString, shell);
        QFETCH(QString, line);
        launch(shell);
        QTimer::singleShot(30000, m_delegate.get(), [] { QCoreApplication::exit(99); });
        QCOMPARE(QApplication::exec(), 0);
        const QStringList lines = m_output->takeLogLines();
        const QStringList failures = lines.filter(u"Authorization error: "_s) + lines.filter(u"Bless Error: "_s);
        QVERIFY2(failures.size() == 1 && failures.first().startsWith(line), qPrintable(lines.join(u'\n')));
        QVERIFY(!lines.contains(installedLine));
    }

    // A shipped helper whose version cannot be read, even one that hangs, means installing; the
    // launch never waits for it.
    void unreadableShippedHelperInstalls_data()
    {
        addRows<QByteArray>("script", { { "no version", "echo '{}'" }, { "hangs", "exec sleep 60" } });
    }
    void unreadableShippedHelperInstalls()
    {
        QFETCH(QByteArray, script);
        const QString prefix = m_dir->filePath(u"prefix"_s);
        const QString helper = prefix + u"/lib/quellnet/" QUELLNET_HELPER_ID ""_s;
        QVERIFY(QDir().mkpath(prefix + u"/lib/quellnet"_s));
        QVERIFY(QFile::link(u"" QUELLNET_BUILD_PREFIX "/share"_s, prefix + u"/share"_s));
        QVERIFY(writeFile(helper, "#!/bin/sh\n" + script + '\n'));
        QVERIFY(QFile::setPermissions(helper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        AppPaths::setPrefixForTesting(prefix);
        QElapsedTimer launching;
        launching.start();
        launch();
        QVERIFY2(launching.elapsed() < 1000, "the launch waited for the shipped helper");
        const QStringList lines = logUntil(installedLine, 10000);
        AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
        QVERIFY2(lines.contains(installedLine) && !lines.contains(bundleLine), qPrintable(lines.join(u'\n')));
        QCOMPARE(prompts().size(), 1);
    }

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
        const QString text = QString::fromUtf8(readFile(path));
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
        launch(u"exit 0"_s, true, tray);
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

    // What nothingOnShowEscapesTheCatalogue cannot see: the button once connected, a sheet, and Qt's
    // own texts; as today under C and French, in German, in English.
    void textsBeyondTheFormAtRest()
    {
        launch();
        const auto shown = [this](const char *source, const char *german, const char *english) {
            return QString::fromUtf8(m_language == u"de" ? german : m_language == u"en" ? english : source);
        };
        MainViewController *view = m_delegate->mainViewController();
        deliverState(u"CONNECTED"_s);
        QCOMPARE(view->connectButton()->text(), shown("Trennen", "Trennen", "Disconnect"));
        QCOMPARE(m_delegate->connectItem()->text(), shown("Trennen", "Trennen", "Disconnect"));
        deliverState(u"NOPROCESS"_s);
        view->emailEdit()->clear();
        QTest::mouseClick(view->connectButton(), Qt::LeftButton);
        const std::unique_ptr<QMessageBox> sheet(window()->findChild<QMessageBox *>());
        QVERIFY(sheet);
        QCOMPARE(sheet->text(),
            shown("Email should not be empty!", "Die E-Mail-Adresse darf nicht leer sein!",
                "Email should not be empty!"));
        const std::unique_ptr<QMenu> context(view->emailEdit()->createStandardContextMenu());
        QCOMPARE(context->actions().constFirst()->text().section(u'\t', 0, 0), shown("&Undo", "&Rückgängig", "&Undo"));
    }

    // A text shown without going through the catalogue would stay in its source language, or would
    // not be in the catalogue at all: every text on show is a translation (or, untranslated, a
    // source text) of the catalogue, or the product's name.
    void nothingOnShowEscapesTheCatalogue()
    {
        launch();
        QSet<QString> known;
        for (const Message &message : readCatalogue(committedCatalogue(m_language.isEmpty() ? u"de"_s : m_language)))
            known << (m_language.isEmpty() ? message.source : message.translation);
        QVERIFY(!known.isEmpty());
        for (const QString &text : visibleTexts())
            QVERIFY2(known.contains(text) || text == u"Quellnet", qPrintable(u"not from the catalogue: "_s + text));
    }
    // Every text of the program has a finished German and English translation. lupdate reads the
    // sources as they are now into copies of the committed catalogues; a text that is new or changed
    // comes out unfinished. To mend a failure: cmake --build <build> --target update_translations,
    // then translate the new entries in resources/translations/quellnet_{de,en}.ts (the English
    // catalogue repeats an English source text as its translation). Once, under C.
    void everyTextIsTranslated_data()
    {
        addRows<QString>("language", { { "German", u"de"_s }, { "English", u"en"_s } });
    }
    void everyTextIsTranslated()
    {
        if (QLocale::system().name() != u"C")
            QSKIP("checked once, in the run under C");
        QFETCH(QString, language);
        const QString root = QStringLiteral(QUELLNET_SOURCE_DIR);
        QTemporaryDir dir;
        const QString current = dir.filePath(u"quellnet_%1.ts"_s.arg(language));
        QVERIFY(QFile::copy(committedCatalogue(language), current));

        QProcess lupdate;
        lupdate.setWorkingDirectory(root);
        lupdate.setProcessChannelMode(QProcess::MergedChannels);
        QStringList arguments { u"-locations"_s, u"none"_s, u"-no-obsolete"_s, u"-I"_s, root };
        for (const char *folder : { "app", "ui", "account", "engine", "helperlink", "base", "resources" })
            arguments << root + u'/' + QString::fromLatin1(folder);
        lupdate.start(QStringLiteral(QUELLNET_LUPDATE), arguments << u"-ts"_s << current);
        QVERIFY2(lupdate.waitForFinished(60000) && lupdate.exitCode() == 0, lupdate.readAll().constData());

        const QList<Message> messages = readCatalogue(current);
        QVERIFY(messages.size() >= readCatalogue(committedCatalogue(language)).size() / 2);
        QStringList problems;
        for (const Message &message : messages) {
            if (!message.finished || message.translation.isEmpty())
                problems << u"no finished translation: [%1] %2"_s.arg(message.context, message.source);
            else if (placeholders(message.source) != placeholders(message.translation))
                problems << u"placeholders differ: [%1] %2 -> %3"_s.arg(
                    message.context, message.source, message.translation);
        }
        QVERIFY2(problems.isEmpty(), qPrintable(u"quellnet_%1.ts:\n  "_s.arg(language) + problems.join(u"\n  "_s)));
    }
};

QTEST_MAIN(TestApplication)
#include "tst_application.moc"
