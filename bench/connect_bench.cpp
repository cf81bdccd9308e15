// quellnet-bench-connect: the real window's connect time against the local stack, beside a plain
// openvpn client on the same server, and the GUI thread's longest stall while it connects and
// disconnects.
//
//   quellnet-bench-connect [--runs N] [--results FILE] [--timeline FILE] [--traffic FILE]
//   quellnet-bench-connect --layout
//
// Each run first connects a plain `openvpn` with the stack's profile and the demo account (its
// connect time runs from starting the process to its log line "Initialization Sequence Completed",
// see RawOpenVpnClient) and stops it; then it clicks "Verbinden" in the program's window and times
// the click to the first paint of the button once it reads "Trennen" (CONNECTED shown), clicks
// again and waits for NOPROCESS. The two alternate, so both see the same machine load.
//
// The program runs in this process as it runs on its own: the application delegate with its
// window, the real helper daemon, the real account requests. The settings hold the demo account
// as remembered credentials, as for a returning user, so the form is filled in and "Angemeldet
// bleiben" is ticked.
//
// Timeline: the program's diagnostics (categories quellnet.*, debug level on here), its standard
// output (commands sent, openvpn's log lines), the states as the window receives them and the
// button's paints, each stamped with this process's monotonic clock. A 1 ms timer on the GUI
// thread records the longest gap between its ticks (the stall) from the click until the result is
// shown.
//
// --layout prints where the connect button's centre lies in the window ("x y width height"), for
// drivers that click the real program with X events.
//
// Results go to FILE (or standard output) as "key<TAB>value" lines; the timeline of every run
// goes to the timeline file; the program's own standard output to the traffic file.
#include "account/Constant.h"
#include "account/CredentialStore.h"
#include "app/AppDelegate.h"
#include "base/AppPaths.h"
#include "bench/RawOpenVpnClient.h"
#include "engine/OpenVPNService.h"
#include "helperlink/LocalHelperConnection.h"
#include "tests/e2e/E2eHarness.h"
#include "tests/e2e/ProgramWindow.h"
#include "ui/Appearance.h"
#include "ui/FlatButton.h"
#include "ui/MainViewController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;

namespace {

QElapsedTimer clockStart;

qint64 nowNs()
{
    return clockStart.nsecsElapsed();
}

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

FILE *console = stdout;

void say(const char *format, const QString &text = {})
{
    std::fprintf(console, format, qPrintable(text));
    std::fputc('\n', console);
    std::fflush(console);
}

// Everything the program reports while a run lasts, stamped when it happens, from any thread.
class Recorder
{
public:
    struct Mark
    {
        qint64 ns;
        QString what;
    };

    void add(QString what)
    {
        const qint64 at = nowNs();
        std::lock_guard lock(m_mutex);
        m_marks.push_back({ at, std::move(what) });
    }
    std::vector<Mark> take()
    {
        std::lock_guard lock(m_mutex);
        std::vector<Mark> marks;
        marks.swap(m_marks);
        return marks;
    }

private:
    std::mutex m_mutex;
    std::vector<Mark> m_marks;
};

Recorder recorder;
QtMessageHandler previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category != nullptr && qstrncmp(context.category, "quellnet.", 9) == 0) {
        recorder.add(QLatin1String(context.category) + QStringLiteral(": ") + message);
        if (type == QtDebugMsg)
            return;
    }
    if (previousHandler != nullptr)
        previousHandler(type, context, message);
}

// A 1 ms timer on the GUI thread: the longest gap between two ticks is the longest time the
// thread could not run its event loop. Each gap is split into the time the thread ran (busy), the
// time it was ready but waited for a CPU (the machine's load, from schedstat), and the rest, when
// it slept in a blocking call (a disk flush, a lock, a wait on another thread).
class StallProbe : public QObject
{
public:
    static constexpr qint64 intervalNs = 1'000'000;

    struct Gap
    {
        qint64 ns = 0;
        qint64 busyNs = 0;
        qint64 runQueueNs = 0;
        qint64 endNs = 0;

        // Less the timer's own interval, which the thread sleeps by design.
        qint64 blockedNs() const { return std::max<qint64>(0, ns - busyNs - runQueueNs - intervalNs); }
    };

    StallProbe() : m_schedstat(::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC))
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(int(intervalNs / 1'000'000));
        connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
    }
    ~StallProbe() override
    {
        if (m_schedstat >= 0)
            ::close(m_schedstat);
    }

    void start()
    {
        m_last = sample();
        m_max = Gap { 0, 0, 0, m_last.at };
        m_timer.start();
    }
    void stop()
    {
        tick();
        m_timer.stop();
    }
    const Gap &longest() const { return m_max; }

private:
    struct Sample
    {
        qint64 at = 0;
        qint64 cpu = 0;
        qint64 runQueue = 0;
    };

    Sample sample() const
    {
        Sample s;
        s.at = nowNs();
        timespec cpu {};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        s.cpu = qint64(cpu.tv_sec) * 1'000'000'000 + cpu.tv_nsec;
        // "time on the CPU, time waiting on a run queue, time slices", in ns.
        char text[96] = {};
        if (m_schedstat >= 0 && ::pread(m_schedstat, text, sizeof text - 1, 0) > 0) {
            char *end = nullptr;
            std::strtoll(text, &end, 10);
            s.runQueue = std::strtoll(end, nullptr, 10);
        }
        return s;
    }

    void tick()
    {
        const Sample now = sample();
        const Gap gap { now.at - m_last.at, now.cpu - m_last.cpu, now.runQueue - m_last.runQueue, now.at };
        // Gaps well above the tick go into the timeline, so they can be matched with what ran.
        if (gap.ns > reportedGapNs)
            recorder.add(QStringLiteral("gui thread stalled for the %1 ms up to here (busy %2, waiting for a CPU %3, "
                                        "blocked %4)")
                             .arg(ms(gap.ns), 0, 'f', 1)
                             .arg(ms(gap.busyNs), 0, 'f', 1)
                             .arg(ms(gap.runQueueNs), 0, 'f', 1)
                             .arg(ms(gap.blockedNs()), 0, 'f', 1));
        if (gap.ns > m_max.ns)
            m_max = gap;
        m_last = now;
    }

    static constexpr qint64 reportedGapNs = 4'000'000;

    QTimer m_timer;
    const int m_schedstat;
    Sample m_last;
    Gap m_max;
};

// Watches the window: the states as the login view receives them (the trace observes after the
// view, so it sees each state once the view has applied it) and the connect button's paints. A wait
// ends the first time the button has been painted with the wanted title, without polling.
class WindowWatch : public QObject
{
public:
    explicit WindowWatch(FlatButton *button)
        : m_button(button), m_trace([this](const QString &state) {
            recorder.add(QStringLiteral("shown: state ") + state);
            if (m_loop != nullptr && m_failState == state)
                m_loop->quit();
        })
    {
        button->installEventFilter(this);
    }

    // Runs the event loop until the button has been painted with `title` and the frame is out
    // (the first event after that paint), or `failState` arrived, or the time is up. Returns when
    // the frame was out; nothing otherwise.
    std::optional<qint64> waitForPainted(const QString &title, const QString &failState, int timeoutMs)
    {
        QEventLoop loop;
        m_loop = &loop;
        m_title = title;
        m_failState = failState;
        m_paintedAt.reset();
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
        m_loop = nullptr;
        return m_paintedAt;
    }
    bool waitForState(const QString &state, int timeoutMs)
    {
        if (m_trace.states().contains(state))
            return true;
        QEventLoop loop;
        m_loop = &loop;
        m_failState = state;
        m_title.clear();
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
        m_loop = nullptr;
        return m_trace.states().contains(state);
    }
    void clearStates() { m_trace.clear(); }
    QStringList states() const { return m_trace.states(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_button && event->type() == QEvent::Paint) {
            const QString title = m_button->text();
            recorder.add(QStringLiteral("paint: button \"%1\"").arg(title));
            if (m_loop != nullptr && !m_title.isEmpty() && title == m_title && !m_paintedAt) {
                // The frame goes out right after the paint, within the same update; the next
                // turn of the event loop comes after it.
                QEventLoop *loop = m_loop;
                QTimer::singleShot(0, loop, [this, loop] {
                    m_paintedAt = nowNs();
                    recorder.add(QStringLiteral("frame out"));
                    loop->quit();
                });
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    FlatButton *m_button;
    QEventLoop *m_loop = nullptr;
    QString m_title;
    QString m_failState;
    std::optional<qint64> m_paintedAt;
    StateTrace m_trace;
};

// Runs the event loop for `msec` without polling.
void idle(int msec)
{
    QEventLoop loop;
    QTimer::singleShot(msec, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitForNoTunnel(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!E2eStack::tunnelInterfaces().isEmpty() || !E2eStack::helperOpenVpnPids().isEmpty()) {
        if (timer.hasExpired(timeoutMs))
            return false;
        idle(50);
    }
    return true;
}

struct Stats
{
    double min = 0;
    double median = 0;
    double max = 0;
};

Stats statsOf(std::vector<double> values)
{
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
    return { values.front(), median, values.back() };
}

QString joined(const std::vector<double> &values)
{
    QStringList parts;
    for (double value : values)
        parts.append(QString::number(value, 'f', 1));
    return parts.join(u' ');
}

// The steps of one connect, in ms after the click; negative when the step was not seen.
struct ConnectTimeline
{
    double loginReply = -1;
    double profileReply = -1;
    double runRequestSent = -1;
    double portOpened = -1; // a pause after a refused attempt saw root listen on the port
    double managementConnected = -1;
    int refusedAttempts = 0;
    double credentialsSent = -1;
    double connectedRead = -1;
    double connectedShown = -1; // the view applied CONNECTED
    double connectedPainted = -1; // the frame with "Trennen" is out
    int readsBeforeConnected = 0;
    // Gap between the read that brought CONNECTED and the read before it.
    double lastReadGap = -1;
};

ConnectTimeline analyse(const std::vector<Recorder::Mark> &marks, qint64 clickNs, qint64 paintedNs, FILE *out)
{
    ConnectTimeline t;
    const auto at = [clickNs](const Recorder::Mark &mark) { return ms(mark.ns - clickNs); };
    double lastRead = -1;
    double readBefore = -1;
    for (const Recorder::Mark &mark : marks) {
        const QString &what = mark.what;
        if (out != nullptr)
            std::fprintf(out, "  %9.1f ms  %s\n", at(mark), qPrintable(what.trimmed()));
        if (what.contains(QLatin1String("login reply")) && t.loginReply < 0)
            t.loginReply = at(mark);
        else if (what.contains(QLatin1String("profile reply")) && t.profileReply < 0)
            t.profileReply = at(mark);
        else if (what.contains(QLatin1String("run request sent")) && t.runRequestSent < 0)
            t.runRequestSent = at(mark);
        else if (what.contains(QLatin1String("root listens on the management port")) && t.portOpened < 0)
            t.portOpened = at(mark);
        else if (what.contains(QLatin1String("management connection attempt")))
            ++t.refusedAttempts;
        else if (what.contains(QLatin1String("management connected")) && t.managementConnected < 0)
            t.managementConnected = at(mark);
        else if (what.startsWith(QLatin1String("out: password ")) && t.credentialsSent < 0)
            t.credentialsSent = at(mark);
        else if (what.contains(QLatin1String("bytes from the management interface")) && t.connectedShown < 0) {
            readBefore = lastRead;
            lastRead = at(mark);
            ++t.readsBeforeConnected;
        } else if (what == QLatin1String("shown: state CONNECTED") && t.connectedShown < 0) {
            t.connectedShown = at(mark);
            t.connectedRead = lastRead;
            t.lastReadGap = readBefore >= 0 ? lastRead - readBefore : -1;
        }
    }
    t.connectedPainted = ms(paintedNs - clickNs);
    return t;
}

int fail(const QString &why)
{
    std::fprintf(stderr, "bench: FAILED: %s\n", qPrintable(why));
    return 1;
}

int printLayout()
{
    ProgramWindow program;
    if (!QTest::qWaitForWindowExposed(program.delegate().window()))
        return fail(QStringLiteral("the window was not exposed"));
    QWidget *window = program.delegate().window();
    FlatButton *button = program.view().connectButton();
    const QPoint centre = button->mapTo(window, button->rect().center());
    std::fprintf(console, "%d %d %d %d\n", centre.x(), centre.y(), window->width(), window->height());
    return 0;
}

int runBenchmark(int runs, FILE *results, FILE *timeline)
{
    if (::geteuid() != 0)
        return fail(QStringLiteral("needs root: tunnels, the helper daemon, a plain openvpn"));
    QString why;
    if (!E2eStack::isUp(&why))
        return fail(why);
    if (Constant::baseURL() != E2eStack::accountServiceUrl().toString())
        return fail(QStringLiteral("this build signs in at %1, not at the stand-in").arg(Constant::baseURL()));
    if (E2eStack::helperPid() == 0 || !QFileInfo::exists(LocalHelperConnection::defaultSocketPath()))
        return fail(QStringLiteral("the helper daemon is not running"));
    if (!waitForNoTunnel(10000))
        return fail(QStringLiteral("a tunnel into the stack is up already"));

    const StackAccount demo = E2eStack::demoAccount();
    CredentialStore::remember(demo.email, demo.password);

    ProgramWindow program;
    if (!QTest::qWaitForWindowExposed(program.delegate().window()))
        return fail(QStringLiteral("the window was not exposed"));
    WindowWatch watch(program.view().connectButton());
    StallProbe probe;
    // Let the launch (helper check, first paints) finish.
    idle(1500);

    // The loop's own noise on this machine: the probe with nothing to do.
    probe.start();
    idle(2000);
    probe.stop();
    const StallProbe::Gap idleStall = probe.longest();

    std::vector<double> rawTimes, programTimes, connectStalls, disconnectStalls, disconnectTimes, disconnectPaintedTimes;
    StallProbe::Gap longestConnectStall, longestDisconnectStall;
    std::vector<ConnectTimeline> timelines;
    for (int run = 1; run <= runs; ++run) {
        // A plain openvpn on the same server.
        {
            RawOpenVpnClient raw;
            if (!raw.start(E2eStack::profilePath(), demo.email, demo.password))
                return fail(QStringLiteral("could not start openvpn"));
            if (!raw.waitForConnected(60000))
                return fail(QStringLiteral("the plain openvpn did not connect: ") + raw.log().right(2000));
            rawTimes.push_back(double(raw.connectedAfterMs()));
            raw.stop(10000);
        }
        if (!waitForNoTunnel(20000))
            return fail(QStringLiteral("the plain openvpn's tunnel did not go away"));
        idle(500);

        // The program: click, CONNECTED shown.
        recorder.take();
        watch.clearStates();
        probe.start();
        const qint64 click = nowNs();
        recorder.add(QStringLiteral("click \"%1\"").arg(program.buttonTitle()));
        program.clickConnect();
        const std::optional<qint64> painted
            = watch.waitForPainted(QStringLiteral("Trennen"), QStringLiteral("NOPROCESS"), 60000);
        probe.stop();
        if (!painted) {
            std::vector<Recorder::Mark> marks = recorder.take();
            analyse(marks, click, nowNs(), timeline);
            if (!OpenVPNService::isIdleState(OpenVPNService::shared().state()))
                OpenVPNService::shared().stopOpenVPN();
            return fail(QStringLiteral("run %1: CONNECTED was not shown (states: %2)")
                            .arg(run)
                            .arg(watch.states().join(u',')));
        }
        const StallProbe::Gap connectStall = probe.longest();
        if (connectStall.ns > longestConnectStall.ns)
            longestConnectStall = connectStall;
        programTimes.push_back(ms(*painted - click));
        connectStalls.push_back(ms(connectStall.ns));
        std::fprintf(timeline,
            "run %d: connect %.1f ms (plain openvpn %.0f ms); longest GUI stall %.1f ms, ended at %.1f ms\n", run,
            ms(*painted - click), rawTimes.back(), ms(connectStall.ns), ms(connectStall.endNs - click));
        timelines.push_back(analyse(recorder.take(), click, *painted, timeline));
        idle(300);

        // The program: click, "Verbinden" painted (openvpn reported EXITING), then NOPROCESS shown
        // (the helper reported openvpn's end).
        watch.clearStates();
        probe.start();
        const qint64 stopClick = nowNs();
        recorder.add(QStringLiteral("click \"%1\"").arg(program.buttonTitle()));
        program.clickConnect();
        const std::optional<qint64> stopPainted
            = watch.waitForPainted(QStringLiteral("Verbinden"), QStringLiteral("NOPROCESS"), 30000);
        const bool stopped = watch.waitForState(QStringLiteral("NOPROCESS"), 30000);
        const qint64 stoppedAt = nowNs();
        // The view's last repaint after NOPROCESS.
        idle(100);
        probe.stop();
        if (!stopped)
            return fail(QStringLiteral("run %1: NOPROCESS did not come").arg(run));
        const StallProbe::Gap disconnectStall = probe.longest();
        if (disconnectStall.ns > longestDisconnectStall.ns)
            longestDisconnectStall = disconnectStall;
        disconnectStalls.push_back(ms(disconnectStall.ns));
        disconnectTimes.push_back(ms(stoppedAt - stopClick));
        // Painted "Verbinden" only with NOPROCESS (no EXITING read): that counts.
        disconnectPaintedTimes.push_back(ms(stopPainted.value_or(stoppedAt) - stopClick));
        std::fprintf(timeline,
            "run %d: disconnect: \"Verbinden\" painted %.1f ms, NOPROCESS %.1f ms; longest GUI stall %.1f ms, ended at "
            "%.1f ms\n",
            run, disconnectPaintedTimes.back(), ms(stoppedAt - stopClick), ms(disconnectStall.ns),
            ms(disconnectStall.endNs - stopClick));
        analyse(recorder.take(), stopClick, stoppedAt, timeline);
        std::fflush(timeline);
        if (!waitForNoTunnel(20000))
            return fail(QStringLiteral("run %1: the tunnel did not go away").arg(run));
        idle(500);
        say("bench: run %s done", QString::number(run));
    }

    const auto put = [results](const char *key, const QString &value) {
        std::fprintf(results, "%s\t%s\n", key, qPrintable(value));
    };
    const auto putStats = [&put](const QString &key, const std::vector<double> &values) {
        const Stats s = statsOf(values);
        put(qPrintable(key + QStringLiteral(".min")), QString::number(s.min, 'f', 1));
        put(qPrintable(key + QStringLiteral(".median")), QString::number(s.median, 'f', 1));
        put(qPrintable(key + QStringLiteral(".max")), QString::number(s.max, 'f', 1));
        put(qPrintable(key + QStringLiteral(".all")), joined(values));
    };
    put("runs", QString::number(runs));
    putStats(QStringLiteral("connect.program"), programTimes);
    putStats(QStringLiteral("connect.raw"), rawTimes);
    putStats(QStringLiteral("disconnect.program"), disconnectTimes);
    putStats(QStringLiteral("disconnect.painted"), disconnectPaintedTimes);
    putStats(QStringLiteral("stall.connect"), connectStalls);
    putStats(QStringLiteral("stall.disconnect"), disconnectStalls);
    const auto putSplit = [&put](const QString &key, const StallProbe::Gap &gap) {
        put(qPrintable(key), QString::number(ms(gap.ns), 'f', 1));
        put(qPrintable(key + QStringLiteral(".busy")), QString::number(ms(gap.busyNs), 'f', 1));
        put(qPrintable(key + QStringLiteral(".runqueue")), QString::number(ms(gap.runQueueNs), 'f', 1));
        put(qPrintable(key + QStringLiteral(".blocked")), QString::number(ms(gap.blockedNs()), 'f', 1));
    };
    putSplit(QStringLiteral("stall.connect.longest"), longestConnectStall);
    putSplit(QStringLiteral("stall.disconnect.longest"), longestDisconnectStall);
    putSplit(QStringLiteral("stall.idle"), idleStall);

    // Where the time of a connect goes: the median of each step's duration.
    const auto segment = [&](const char *key, auto from, auto to) {
        std::vector<double> values;
        for (const ConnectTimeline &t : timelines) {
            const double a = from(t);
            const double b = to(t);
            if (a >= 0 && b >= 0)
                values.push_back(b - a);
        }
        putStats(QString::fromLatin1(key), values);
    };
    segment("step.login", [](const ConnectTimeline &) { return 0.0; }, [](const ConnectTimeline &t) { return t.loginReply; });
    segment("step.profile", [](const ConnectTimeline &t) { return t.loginReply; },
        [](const ConnectTimeline &t) { return t.profileReply; });
    segment("step.runRequest", [](const ConnectTimeline &t) { return t.profileReply; },
        [](const ConnectTimeline &t) { return t.runRequestSent; });
    segment("step.management", [](const ConnectTimeline &t) { return t.runRequestSent; },
        [](const ConnectTimeline &t) { return t.managementConnected; });
    segment("step.portOpened", [](const ConnectTimeline &t) { return t.runRequestSent; },
        [](const ConnectTimeline &t) { return t.portOpened; });
    segment("step.portToConnected", [](const ConnectTimeline &t) { return t.portOpened; },
        [](const ConnectTimeline &t) { return t.managementConnected; });
    segment("step.credentials", [](const ConnectTimeline &t) { return t.managementConnected; },
        [](const ConnectTimeline &t) { return t.credentialsSent; });
    segment("step.openvpn", [](const ConnectTimeline &t) { return t.credentialsSent; },
        [](const ConnectTimeline &t) { return t.connectedRead; });
    segment("step.view", [](const ConnectTimeline &t) { return t.connectedRead; },
        [](const ConnectTimeline &t) { return t.connectedShown; });
    segment("step.paint", [](const ConnectTimeline &t) { return t.connectedShown; },
        [](const ConnectTimeline &t) { return t.connectedPainted; });

    std::vector<double> refused, reads, lastGaps;
    for (const ConnectTimeline &t : timelines) {
        refused.push_back(t.refusedAttempts);
        reads.push_back(t.readsBeforeConnected);
        lastGaps.push_back(t.lastReadGap);
    }
    putStats(QStringLiteral("management.refusedAttempts"), refused);
    putStats(QStringLiteral("management.reads"), reads);
    putStats(QStringLiteral("management.lastReadGap"), lastGaps);
    std::fflush(results);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    clockStart.start();
    // Settings of its own: the demo account is remembered there, nowhere else.
    const QTemporaryDir settings;
    if (!useOwnSettingsFolder(settings))
        return fail(QStringLiteral("cannot create a temporary settings folder"));

    QLoggingCategory::setFilterRules(QStringLiteral("quellnet.*.debug=true"));
    previousHandler = qInstallMessageHandler(recordMessage);

    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("quellnet"));
    QApplication::setApplicationName(QStringLiteral("quellnet"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quellnet"));

    int runs = 10;
    bool layout = false;
    QString resultsPath;
    QString timelinePath;
    QString trafficPath;
    const QStringList arguments = QApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const bool hasValue = i + 1 < arguments.size();
        if (argument == QLatin1String("--runs") && hasValue)
            runs = std::max(1, arguments.at(++i).toInt());
        else if (argument == QLatin1String("--results") && hasValue)
            resultsPath = arguments.at(++i);
        else if (argument == QLatin1String("--timeline") && hasValue)
            timelinePath = arguments.at(++i);
        else if (argument == QLatin1String("--traffic") && hasValue)
            trafficPath = arguments.at(++i);
        else if (argument == QLatin1String("--layout"))
            layout = true;
        else {
            std::fprintf(stderr,
                "usage: quellnet-bench-connect [--runs N] [--results FILE] [--timeline FILE] [--traffic FILE]\n"
                "       quellnet-bench-connect --layout\n");
            return 64;
        }
    }

    AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
    Appearance::applyTo(&application);
    if (layout)
        return printLayout();

    if (!trafficPath.isEmpty() && !divertStandardOutput(trafficPath, &console))
        return fail(QStringLiteral("cannot write %1").arg(trafficPath));
    const OutputCapture output([](OutputCapture::Channel channel, const QString &text) {
        recorder.add(
            (channel == OutputCapture::Channel::SystemLog ? QStringLiteral("log: ") : QStringLiteral("out: ")) + text);
    });

    FILE *results = console;
    if (!resultsPath.isEmpty() && (results = std::fopen(qPrintable(resultsPath), "w")) == nullptr)
        return fail(QStringLiteral("cannot write %1").arg(resultsPath));
    FILE *timeline = std::fopen(qPrintable(timelinePath.isEmpty() ? QStringLiteral("/dev/null") : timelinePath), "w");
    if (timeline == nullptr)
        return fail(QStringLiteral("cannot write %1").arg(timelinePath));

    const int status = runBenchmark(runs, results, timeline);
    std::fclose(timeline);
    if (results != console)
        std::fclose(results);
    return status;
}
