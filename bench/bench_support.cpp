#include "bench/bench_support.h"

#include "core/signal_pipe.h"
#include "sim/example_settings.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QTimer>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define WDT_BENCH_CALLGRIND 1
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <malloc.h>
#include <sched.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr uint16_t kBase = 0x2E;

int64_t clockNs(clockid_t clock)
{
    timespec now {};
    ::clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Qt keeps the application's arguments by reference.
int appArgc = 1;
char appName[] = "wdt-bench";
char* appArgv[] = { appName, nullptr };

std::string dispatcherName = "unknown";

} // namespace

// ---- Simulated Super I/O machine ------------------------------------------

bool parseChip(const std::string& text, Chip* chip)
{
    if (text == "fintek")
        *chip = Chip::Fintek;
    else if (text == "ite")
        *chip = Chip::Ite;
    else if (text == "nuvoton")
        *chip = Chip::Nuvoton;
    else
        return false;
    return true;
}

std::string chipLabel(Chip chip)
{
    return labelOf(chip,
        { { Chip::Fintek, "Fintek F81866 (example register lists)" }, { Chip::Ite, "ITE IT8728F (built-in sequence)" },
            { Chip::Nuvoton, "Nuvoton NCT6779D (built-in sequence)" } });
}

std::unique_ptr<SimulatedSuperIo> makeChip(Chip chip)
{
    switch (chip) {
    case Chip::Fintek:
        return SimulatedSuperIo::fintek(kBase, 0x1010);
    case Chip::Ite:
        return SimulatedSuperIo::ite(kBase, 0x8728);
    case Chip::Nuvoton:
        return SimulatedSuperIo::nuvoton(kBase, 0xC330);
    }
    return nullptr;
}

QString chipConfig(Chip chip, int intervalMs)
{
    QString ini = QStringLiteral("[Debug]\nEnabled=off\n[Global]\nScanPorts=0x2E\nIntervalMs=%1\n").arg(intervalMs);
    if (chip == Chip::Fintek)
        ini += exampleFintekIni();
    return ini;
}

BenchBus::BenchBus(std::unique_ptr<SimulatedSuperIo> chip)
{
    recording = false;
    if (chip)
        this->chip = &add(std::move(chip));
}

void BenchBus::accessed(const PortAccess& access)
{
    if (!chip || access.kind != PortAccess::Kind::Write || !chip->decodes(access.port))
        return;
    if (betweenSequences) {
        betweenSequences = false;
        if (onSequenceStart)
            onSequenceStart(sessionsSeen);
    }
    const int closed = chip->sessions();
    if (closed != sessionsSeen) {
        sessionsSeen = closed;
        betweenSequences = true;
        if (onSessionClosed)
            onSessionClosed(closed);
    }
}

void timeFeeds(
    BenchBus& bus, int feeds, int64_t* armedNs, std::vector<int64_t>* feedNs, std::function<void(int feed)> onFeed)
{
    feedNs->reserve(static_cast<size_t>(feeds));
    bus.onSessionClosed = [armedNs](int sessions) {
        if (sessions == kSessionsBeforeFeeds)
            *armedNs = steadyNs();
    };
    bus.onSequenceStart = [feeds, feedNs, onFeed = std::move(onFeed)](int closedBefore) {
        const int64_t now = steadyNs();
        const int feed = closedBefore + 1 - kSessionsBeforeFeeds;
        if (feed < 1 || feed > feeds)
            return;
        feedNs->push_back(now);
        onFeed(feed);
    };
}

int runQuietly(InProcessDaemon& daemon, const DaemonParts& parts, FakePlatform& bus)
{
    daemon.useBus(bus);
    return daemon.run(parts, true, appName);
}

void runBareTimerLoop(int intervalMs, const std::function<void(int tick)>& onTick, const std::function<void()>& onStart)
{
    QCoreApplication app(appArgc, appArgv);
    if (const QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        dispatcherName = dispatcher->metaObject()->className();
    SignalPipe signalPipe;
    signalPipe.install();
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    int ticks = 0;
    QObject::connect(&timer, &QTimer::timeout, [&] { onTick(++ticks); });
    QObject::connect(&signalPipe, &SignalPipe::received, [&](int) {
        timer.stop();
        QCoreApplication::quit();
    });
    if (onStart)
        onStart();
    timer.start(intervalMs);
    app.exec();
}

std::string eventDispatcherName()
{
    return dispatcherName;
}

void requestStop()
{
    ::kill(::getpid(), SIGTERM);
}

// ---- Clocks and memory ------------------------------------------------------

int64_t steadyNs()
{
    return clockNs(CLOCK_MONOTONIC);
}

int64_t processCpuNs()
{
    return clockNs(CLOCK_PROCESS_CPUTIME_ID);
}

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

size_t heapInUseBytes()
{
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

// ---- Callgrind ----------------------------------------------------------------

bool underValgrind()
{
#ifdef WDT_BENCH_CALLGRIND
    return RUNNING_ON_VALGRIND != 0;
#else
    return false;
#endif
}

void windowStart()
{
#ifdef WDT_BENCH_CALLGRIND
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
#endif
}

void windowEnd(const char* name)
{
#ifdef WDT_BENCH_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT(name);
#else
    (void)name;
#endif
}

// ---- Load -----------------------------------------------------------------

BusyLoad::BusyLoad(int processes)
{
    for (int i = 0; i < processes; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            // Gone with the benchmark, however it ends.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            volatile unsigned long spin = 0;
            for (;;)
                spin = spin + 1;
        }
        if (child > 0)
            children.push_back(child);
    }
}

BusyLoad::~BusyLoad()
{
    for (const pid_t child : children)
        ::kill(child, SIGKILL);
    for (const pid_t child : children)
        ::waitpid(child, nullptr, 0);
}

bool useRoundRobin(int priority)
{
    sched_param param {};
    param.sched_priority = priority;
    if (::sched_setscheduler(0, SCHED_RR, &param) == 0)
        return true;
    std::printf("cannot run with SCHED_RR priority %d here: %s\n", priority, std::strerror(errno));
    return false;
}

// ---- Statistics ---------------------------------------------------------------

std::string format(const char* pattern, double a, double b, double c, double d)
{
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b, c, d);
    return text;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p * static_cast<double>(values.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// ---- Command line -------------------------------------------------------------

Options::Options(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name.rfind("--", 0) != 0 || i + 1 >= argc) {
            error = "unexpected argument " + name;
            return;
        }
        values.emplace_back(name.substr(2), argv[++i]);
    }
}

bool Options::accepted(bool valid, const char* usage) const
{
    if (error.empty() && valid)
        return true;
    std::fprintf(stderr, "%s\nusage: %s\n", error.c_str(), usage);
    return false;
}

std::string Options::text(const std::string& name, const std::string& fallback) const
{
    for (const auto& [key, value] : values) {
        if (key == name)
            return value;
    }
    return fallback;
}

int Options::number(const std::string& name, int fallback) const
{
    const std::string value = text(name, std::string());
    if (value.empty())
        return fallback;
    try {
        size_t used = 0;
        const int number = std::stoi(value, &used);
        if (used == value.size() && number >= 0)
            return number;
    } catch (...) {
    }
    error = "--" + name + " wants a number, not " + value;
    return fallback;
}

std::string machineLine()
{
    std::string model = "unknown processor";
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname system {};
    ::uname(&system);
    std::string load;
    std::ifstream loadavg("/proc/loadavg");
    std::getline(loadavg, load);
    std::ostringstream out;
    out << model << ", " << ::sysconf(_SC_NPROCESSORS_ONLN) << " cores, Linux " << system.release << ", load average "
        << load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
    return out.str();
}

std::string verdict(bool met, bool applies)
{
    if (!applies)
        return "no target";
    return met ? "met" : "MISSED";
}

StopFigures stopFigures(const std::vector<double>& latenciesMs, double targetMs)
{
    StopFigures figures;
    figures.p50Ms = percentile(latenciesMs, 0.5);
    figures.maxMs = percentile(latenciesMs, 1.0);
    figures.met = figures.maxMs <= targetMs;
    figures.text = format("p50 %.1f ms, max %.1f ms", figures.p50Ms, figures.maxMs);
    return figures;
}

void TargetReport::record(bool met)
{
    if (!met)
        allMet = false;
}

int TargetReport::finish(int64_t startedNs) const
{
    std::printf("\nsummary (%.0f s in all)\n", static_cast<double>(steadyNs() - startedNs) / 1e9);
    for (const std::string& line : lines)
        std::printf("  %s\n", line.c_str());
    std::printf("machine at the end: %s\n", machineLine().c_str());
    std::printf("all targets %s\n", allMet ? "met" : "NOT met");
    return allMet ? 0 : 1;
}

} // namespace bench
