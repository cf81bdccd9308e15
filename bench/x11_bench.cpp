// quellnet-bench-x11: measures the real program (the quellnet executable, or any Qt program given)
// from the outside, on an X display (Xvfb): start-up until its window is mapped and first painted,
// resident memory, the CPU time and context switches of its threads while it sits idle (also with
// a tunnel up, after the cycles), and connect/disconnect cycles clicked with X test events.
//
//   quellnet-bench-x11 coldstart --program P --runs N
//   quellnet-bench-x11 session --program P --button X,Y [--cycles N] [--idle-seconds S]
//                      [--email E --password W] [--traffic FILE]
//
// Both write "key<TAB>value" lines to standard output (or --results FILE) and details to standard
// error. The program gets a fresh settings folder and runtime folder of its own for every start
// (with E and W as remembered credentials when given), the display of $DISPLAY and no other
// arguments.
//
// "Mapped" is the MapNotify of the program's first top-level window; "painted" is the first damage
// (DAMAGE extension) to that window after it was mapped: the program's first frame reaching the X
// server. Qt creates its windows without a background, so the server draws nothing there itself.
// Times run from just before the program's process is spawned.
//
// Memory comes from /proc/<pid>/status (VmRSS, RssAnon, RssFile, RssShmem) and smaps_rollup
// (Pss); per thread CPU from /proc/<pid>/task/<tid>/stat (utime + stime, clock ticks),
// schedstat (time on the CPU, ns) and status (voluntary and involuntary context switches). The
// program is started and /proc is read as the end-to-end tests do it (tests/support: ProgramProcess,
// ProcFs).
//
// In a session the program's system log (its standard error) tells the states: the login view
// logs every state it receives, so "CONNECTED" there is the window showing the tunnel.
#include "tests/support/ProcFs.h"
#include "tests/support/ProgramProcess.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <xcb/damage.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace quellnet::test;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start, Clock::time_point end = Clock::now())
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

FILE *results = stdout;

void put(const std::string &key, const std::string &value)
{
    std::fprintf(results, "%s\t%s\n", key.c_str(), value.c_str());
    std::fflush(results);
}

std::string fixed(double value, int decimals = 1)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Thrown, not exited, so that the program under test is stopped on the way out.
struct Failure
{
    std::string why;
};

[[noreturn]] void die(const std::string &why)
{
    throw Failure { why };
}

// ------------------------------------------------------------------------------------------------
// /proc

void putMemory(const std::string &key, const ProcFs::Memory &m)
{
    put(key + ".rss_kb", std::to_string(m.rssKb));
    put(key + ".anon_kb", std::to_string(m.anonKb));
    put(key + ".file_kb", std::to_string(m.fileKb));
    put(key + ".shmem_kb", std::to_string(m.shmemKb));
    put(key + ".pss_kb", std::to_string(m.pssKb));
    put(key + ".hwm_kb", std::to_string(m.hwmKb));
}

// Samples the threads, waits `seconds`, samples again, and reports the difference per thread.
void measureIdle(const std::string &key, pid_t pid, int seconds)
{
    const std::map<qint64, ProcFs::Thread> before = ProcFs::threads(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const std::map<qint64, ProcFs::Thread> after = ProcFs::threads(pid);

    long long ticks = 0, runNs = 0, switches = 0;
    int index = 0;
    std::set<qint64> tids;
    for (const auto &[tid, sample] : before)
        tids.insert(tid);
    for (const auto &[tid, sample] : after)
        tids.insert(tid);
    for (const qint64 tid : tids) {
        const auto b = before.find(tid);
        const auto a = after.find(tid);
        const ProcFs::Thread zero;
        const ProcFs::Thread &s0 = b != before.end() ? b->second : zero;
        const ProcFs::Thread &s1 = a != after.end() ? a->second : zero;
        const std::string name = (a != after.end() ? s1.name : s0.name).toStdString();
        const std::string life = b == before.end() ? " (started meanwhile)"
            : a == after.end()                     ? " (ended meanwhile)"
                                                   : "";
        const bool both = a != after.end() && b != before.end();
        const long long dTicks = both ? s1.ticks - s0.ticks : s1.ticks;
        const long long dRun = both ? s1.runNs - s0.runNs : s1.runNs;
        const long long dVol = both ? s1.voluntarySwitches - s0.voluntarySwitches : s1.voluntarySwitches;
        const long long dInv = both ? s1.involuntarySwitches - s0.involuntarySwitches : s1.involuntarySwitches;
        ticks += dTicks;
        runNs += dRun;
        switches += dVol + dInv;
        std::ostringstream line;
        line << "tid=" << tid << (tid == pid ? " (main)" : "") << " name=" << name << life << " cpu_ticks=" << dTicks
             << " cpu_us=" << dRun / 1000 << " voluntary=" << dVol << " involuntary=" << dInv;
        put(key + ".thread." + std::to_string(++index), line.str());
    }
    put(key + ".seconds", std::to_string(seconds));
    put(key + ".threads", std::to_string(tids.size()));
    put(key + ".cpu_ticks", std::to_string(ticks));
    put(key + ".cpu_us", std::to_string(runNs / 1000));
    put(key + ".switches", std::to_string(switches));
}

// ------------------------------------------------------------------------------------------------
// The program under test

class Program
{
public:
    Program(
        const std::string &path, const std::string &email, const std::string &password, const std::string &trafficPath)
        : m_process(QString::fromStdString(path), m_home.path(), QStringLiteral("xcb"))
    {
        if (!m_home.isValid())
            die("cannot make a temporary folder: " + m_home.errorString().toStdString());
        // What the program itself writes when it remembers an account.
        if (!email.empty()
            && !m_process.rememberCredentials(QString::fromStdString(email), QString::fromStdString(password)))
            die("cannot write the program's settings");
        m_process.setStandardOutputFile(
            trafficPath.empty() ? QProcess::nullDevice() : QString::fromStdString(trafficPath), QIODevice::Append);
        m_started = Clock::now();
        m_process.start();
        if (!m_process.waitForStarted(10000))
            die("cannot start " + path + ": " + m_process.errorString().toStdString());
    }

    ~Program() { stop(); }

    pid_t pid() const { return pid_t(m_process.processId()); }
    Clock::time_point started() const { return m_started; }
    ProgramProcess &process() { return m_process; }

    // What the program wrote to standard error since the last call, as complete lines.
    std::vector<std::string> readLines()
    {
        std::vector<std::string> lines;
        for (const QString &line : m_process.readErrorLines())
            lines.push_back(line.toStdString());
        return lines;
    }

    bool running() const { return m_process.state() != QProcess::NotRunning; }
    void stop() { m_process.stop(5000); }

private:
    QTemporaryDir m_home;
    ProgramProcess m_process;
    Clock::time_point m_started;
};

// ------------------------------------------------------------------------------------------------
// The X side

class Display
{
public:
    Display()
    {
        m_connection = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_connection))
            die("cannot connect to the X display " + std::string(std::getenv("DISPLAY") ? std::getenv("DISPLAY") : ""));
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;

        const xcb_query_extension_reply_t *damage = xcb_get_extension_data(m_connection, &xcb_damage_id);
        if (damage == nullptr || !damage->present)
            die("the X server has no DAMAGE extension");
        m_damageEvent = damage->first_event;
        free(xcb_damage_query_version_reply(
            m_connection, xcb_damage_query_version(m_connection, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION),
            nullptr));
        const xcb_query_extension_reply_t *xtest = xcb_get_extension_data(m_connection, &xcb_test_id);
        if (xtest == nullptr || !xtest->present)
            die("the X server has no XTEST extension");

        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
        m_pidAtom = atom("_NET_WM_PID");
        xcb_flush(m_connection);
    }
    ~Display() { xcb_disconnect(m_connection); }

    int fd() const { return xcb_get_file_descriptor(m_connection); }

    // Follows the top-level windows that appear: each gets a damage object, so the first drawing
    // into it is reported.
    struct Window
    {
        xcb_window_t id = 0;
        std::optional<Clock::time_point> mapped;
        std::optional<Clock::time_point> painted;
        int damageEvents = 0;
    };

    // Handles the events that have arrived.
    void pump()
    {
        while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
            const auto now = Clock::now();
            const uint8_t type = event->response_type & 0x7f;
            if (type == XCB_CREATE_NOTIFY) {
                const auto *create = reinterpret_cast<xcb_create_notify_event_t *>(event);
                if (create->parent == m_root) {
                    Window window;
                    window.id = create->window;
                    const xcb_damage_damage_t damage = xcb_generate_id(m_connection);
                    xcb_damage_create(m_connection, damage, create->window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
                    m_damages[create->window] = damage;
                    m_windows[create->window] = window;
                }
            } else if (type == XCB_MAP_NOTIFY) {
                const auto *map = reinterpret_cast<xcb_map_notify_event_t *>(event);
                auto it = m_windows.find(map->window);
                if (it != m_windows.end() && !it->second.mapped)
                    it->second.mapped = now;
            } else if (type == XCB_DESTROY_NOTIFY) {
                const auto *destroy = reinterpret_cast<xcb_destroy_notify_event_t *>(event);
                m_windows.erase(destroy->window);
                m_damages.erase(destroy->window);
            } else if (type == m_damageEvent + XCB_DAMAGE_NOTIFY) {
                const auto *notify = reinterpret_cast<xcb_damage_notify_event_t *>(event);
                auto it = m_windows.find(notify->drawable);
                if (it != m_windows.end()) {
                    ++it->second.damageEvents;
                    if (it->second.mapped && !it->second.painted)
                        it->second.painted = now;
                }
                // Empties the damage, so the next drawing is reported again.
                xcb_damage_subtract(m_connection, notify->damage, XCB_NONE, XCB_NONE);
            }
            free(event);
        }
        xcb_flush(m_connection);
    }

    // The first mapped top-level window of process `pid`, if any.
    const Window *mappedWindowOf(pid_t pid)
    {
        for (auto &[id, window] : m_windows) {
            if (window.mapped && pidOf(id) == pid)
                return &window;
        }
        return nullptr;
    }

    void forget()
    {
        m_windows.clear();
        m_damages.clear();
    }

    // Where (x, y) of `window` lies on the screen.
    std::pair<int, int> toScreen(xcb_window_t window, int x, int y)
    {
        xcb_translate_coordinates_reply_t *reply = xcb_translate_coordinates_reply(
            m_connection, xcb_translate_coordinates(m_connection, window, m_root, int16_t(x), int16_t(y)), nullptr);
        if (reply == nullptr)
            die("cannot translate window coordinates");
        const std::pair<int, int> at { reply->dst_x, reply->dst_y };
        free(reply);
        return at;
    }

    // A left click at (x, y) on the screen, as the X server's test extension delivers it.
    void click(int x, int y)
    {
        xcb_test_fake_input(m_connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, m_root, int16_t(x), int16_t(y), 0);
        xcb_test_fake_input(m_connection, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(m_connection, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr)); // a round trip
    }

private:
    xcb_atom_t atom(const char *name)
    {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t value = reply != nullptr ? reply->atom : XCB_NONE;
        free(reply);
        return value;
    }

    pid_t pidOf(xcb_window_t window)
    {
        xcb_get_property_reply_t *reply = xcb_get_property_reply(
            m_connection, xcb_get_property(m_connection, 0, window, m_pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
        pid_t pid = -1;
        if (reply != nullptr && xcb_get_property_value_length(reply) == 4)
            pid = pid_t(*static_cast<uint32_t *>(xcb_get_property_value(reply)));
        free(reply);
        return pid;
    }

    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_root = 0;
    uint8_t m_damageEvent = 0;
    xcb_atom_t m_pidAtom = XCB_NONE;
    std::map<xcb_window_t, Window> m_windows;
    std::map<xcb_window_t, xcb_damage_damage_t> m_damages;
};

// Waits for X events and the program's standard error until `done` holds or the time is up.
// `onLine` sees every line of standard error. Woken by either, it takes them as they arrive.
template<typename Done, typename OnLine>
bool waitFor(Display &display, Program &program, int timeoutMs, Done done, OnLine onLine)
{
    QEventLoop loop;
    const auto look = [&] {
        display.pump();
        for (const std::string &line : program.readLines())
            onLine(line);
        if (done() || !program.running())
            loop.quit();
    };
    QSocketNotifier events(display.fd(), QSocketNotifier::Read);
    QObject::connect(&events, &QSocketNotifier::activated, &loop, look);
    QObject::connect(&program.process(), &QProcess::readyReadStandardError, &loop, look);
    QObject::connect(&program.process(), &QProcess::finished, &loop, look);
    // Events xcb has already read into its queue do not wake the descriptor.
    QTimer queued;
    QObject::connect(&queued, &QTimer::timeout, &loop, look);
    queued.start(50);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    look();
    if (!done() && program.running())
        loop.exec();
    return done();
}

void echoLine(const std::string &line)
{
    std::fprintf(stderr, "  program: %s\n", line.c_str());
}

// Starts the program and waits until its window is painted; returns (mapped, painted) in ms.
std::pair<double, double> startAndWaitPainted(Display &display, Program &program)
{
    const Display::Window *window = nullptr;
    const bool painted = waitFor(
        display, program, 20000,
        [&] {
            window = display.mappedWindowOf(program.pid());
            return window != nullptr && window->painted;
        },
        [](const std::string &) { });
    if (!painted)
        die("the program's window was not painted within 20 s");
    return { msSince(program.started(), *window->mapped), msSince(program.started(), *window->painted) };
}

struct Stats
{
    double min = 0, median = 0, max = 0;
};

Stats statsOf(std::vector<double> values)
{
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return { values.front(), n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2, values.back() };
}

void putStats(const std::string &key, const std::vector<double> &values)
{
    const Stats s = statsOf(values);
    put(key + ".min", fixed(s.min));
    put(key + ".median", fixed(s.median));
    put(key + ".max", fixed(s.max));
    std::string all;
    for (double value : values)
        all += (all.empty() ? "" : " ") + fixed(value);
    put(key + ".all", all);
}

// ------------------------------------------------------------------------------------------------

struct Options
{
    std::string mode;
    std::string program;
    int runs = 10;
    int buttonX = -1, buttonY = -1;
    int cycles = 20;
    int idleSeconds = 10;
    std::string email, password;
    std::string traffic;
};

int coldStart(const Options &options)
{
    Display display;
    std::vector<double> mapped, painted;
    for (int run = 1; run <= options.runs; ++run) {
        display.forget();
        Program program(options.program, {}, {}, {});
        const auto [mapMs, paintMs] = startAndWaitPainted(display, program);
        mapped.push_back(mapMs);
        painted.push_back(paintMs);
        std::fprintf(stderr, "bench-x11: start %d: mapped after %.1f ms, painted after %.1f ms\n", run, mapMs, paintMs);
        program.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    putStats("coldstart.mapped", mapped);
    putStats("coldstart.painted", painted);
    return 0;
}

int session(const Options &options)
{
    Display display;
    Program program(options.program, options.email, options.password, options.traffic);
    const auto [mapMs, paintMs] = startAndWaitPainted(display, program);
    put("session.painted_ms", fixed(paintMs));
    const Display::Window *window = display.mappedWindowOf(program.pid());
    const xcb_window_t windowId = window->id;

    // The launch's own work (the helper check) is over well within this.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    for (const std::string &line : program.readLines())
        echoLine(line);
    putMemory("memory.start", ProcFs::memory(program.pid()));
    measureIdle("idle.start", program.pid(), options.idleSeconds);

    if (options.cycles > 0 && options.buttonX < 0)
        die("--button X,Y is needed for connect cycles");
    std::vector<double> connectTimes, disconnectTimes;
    std::string rssAfterCycle, anonAfterCycle, fileAfterCycle;
    for (int cycle = 1; cycle <= options.cycles; ++cycle) {
        std::string last;
        const auto onLine = [&last](const std::string &line) {
            const size_t colon = line.rfind(": ");
            last = colon == std::string::npos ? line : line.substr(colon + 2);
        };
        const auto [x, y] = display.toScreen(windowId, options.buttonX, options.buttonY);
        const auto click = Clock::now();
        display.click(x, y);
        if (!waitFor(display, program, 60000, [&] { return last == "CONNECTED"; }, onLine))
            die("cycle " + std::to_string(cycle) + ": CONNECTED did not come (last: " + last + ")");
        connectTimes.push_back(msSince(click));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));

        const auto stopClick = Clock::now();
        display.click(x, y);
        if (!waitFor(display, program, 30000, [&] { return last == "NOPROCESS"; }, onLine))
            die("cycle " + std::to_string(cycle) + ": NOPROCESS did not come (last: " + last + ")");
        disconnectTimes.push_back(msSince(stopClick));
        // The helper's openvpn (and with it the tunnel) gone.
        for (int i = 0; i < 200 && !ProcFs::withArgument("/run/quellnet-e2e/scripts/client.up").isEmpty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const ProcFs::Memory m = ProcFs::memory(program.pid());
        rssAfterCycle += (rssAfterCycle.empty() ? "" : " ") + std::to_string(m.rssKb);
        anonAfterCycle += (anonAfterCycle.empty() ? "" : " ") + std::to_string(m.anonKb);
        fileAfterCycle += (fileAfterCycle.empty() ? "" : " ") + std::to_string(m.fileKb);
        std::fprintf(stderr, "bench-x11: cycle %d: connected after %.0f ms, disconnected after %.0f ms, RSS %lld kB\n",
            cycle, connectTimes.back(), disconnectTimes.back(), static_cast<long long>(m.rssKb));
    }
    if (options.cycles > 0) {
        put("session.cycles", std::to_string(options.cycles));
        putStats("session.connect", connectTimes);
        putStats("session.disconnect", disconnectTimes);
        put("memory.cycles.rss_kb", rssAfterCycle);
        put("memory.cycles.anon_kb", anonAfterCycle);
        put("memory.cycles.file_kb", fileAfterCycle);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        putMemory("memory.after", ProcFs::memory(program.pid()));
        measureIdle("idle.after", program.pid(), options.idleSeconds);

        // Idle with the tunnel up: openvpn writes its byte count once a second, and that alone
        // should wake the program.
        std::string last;
        const auto onLine = [&last](const std::string &line) {
            const size_t colon = line.rfind(": ");
            last = colon == std::string::npos ? line : line.substr(colon + 2);
        };
        const auto [x, y] = display.toScreen(windowId, options.buttonX, options.buttonY);
        display.click(x, y);
        if (!waitFor(display, program, 60000, [&] { return last == "CONNECTED"; }, onLine))
            die("the connect for the connected idle did not come (last: " + last + ")");
        std::this_thread::sleep_for(std::chrono::seconds(2));
        measureIdle("idle.connected", program.pid(), options.idleSeconds);
        display.click(x, y);
        if (!waitFor(display, program, 30000, [&] { return last == "NOPROCESS"; }, onLine))
            die("the disconnect after the connected idle did not come (last: " + last + ")");
    }
    for (const std::string &line : program.readLines())
        echoLine(line);
    program.stop();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // Its event loop waits for the program's output and the X server's events.
    QCoreApplication application(argc, argv);
    Options options;
    std::string resultsPath;
    if (argc > 1)
        options.mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--program" && hasValue)
            options.program = argv[++i];
        else if (argument == "--runs" && hasValue)
            options.runs = std::max(1, std::atoi(argv[++i]));
        else if (argument == "--button" && hasValue) {
            if (std::sscanf(argv[++i], "%d,%d", &options.buttonX, &options.buttonY) != 2)
                die("--button X,Y");
        } else if (argument == "--cycles" && hasValue)
            options.cycles = std::max(0, std::atoi(argv[++i]));
        else if (argument == "--idle-seconds" && hasValue)
            options.idleSeconds = std::max(1, std::atoi(argv[++i]));
        else if (argument == "--email" && hasValue)
            options.email = argv[++i];
        else if (argument == "--password" && hasValue)
            options.password = argv[++i];
        else if (argument == "--traffic" && hasValue)
            options.traffic = argv[++i];
        else if (argument == "--results" && hasValue)
            resultsPath = argv[++i];
        else
            options.mode.clear();
    }
    if ((options.mode != "coldstart" && options.mode != "session") || options.program.empty()) {
        std::fprintf(stderr,
            "usage: quellnet-bench-x11 coldstart --program P [--runs N] [--results FILE]\n"
            "       quellnet-bench-x11 session --program P [--button X,Y] [--cycles N] [--idle-seconds S]\n"
            "                          [--email E --password W] [--traffic FILE] [--results FILE]\n");
        return 64;
    }
    if (!resultsPath.empty() && (results = std::fopen(resultsPath.c_str(), "a")) == nullptr)
        die("cannot write " + resultsPath);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return options.mode == "coldstart" ? coldStart(options) : session(options);
    } catch (const Failure &failure) {
        std::fprintf(stderr, "bench-x11: FAILED: %s\n", failure.why.c_str());
        return 1;
    }
}
