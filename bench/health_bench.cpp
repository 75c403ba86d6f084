// Whether the health checks keep the feed on time: the real daemon (the
// production Super I/O drivers) runs in-process against a simulated ITE
// IT8728F, and every figure is taken on the chip's side, as the watchdog's
// countdown sees it: the first port write of each feed sequence.
//
// 1. Feed-to-feed gaps, three configurations one after the other in each
//    run, so that every figure has its baseline from the same minutes:
//    - baseline: no [Health] section;
//    - a hanging command: "sleep 10" with a time-out far shorter than its
//      sleep and a short command interval, so that a command is nearly
//      always running and every run of it is killed at its time-out; the
//      kills fall at every phase of the feed interval (the command's cycle
//      is its time-out plus up to one command interval, not a divisor of
//      the feed interval). Failures is high enough that the count never
//      reaches it and feeding never stops;
//    - all checks on and passing: the pid file of this process, a heartbeat
//      file a thread of the benchmark touches every second, available
//      memory of at least 1 MB, a one-minute load of at most 1000, the
//      hanging command above and a repair command (which never runs: no
//      check ever counts as failed).
//    The killed commands are counted from the daemon's log: one warning per
//    time-out. Any other outcome of the command, a warning of another
//    check or a critical line makes the run fail.
// 2. The stop latency: SIGTERM, sent while a command hangs (seen in /proc as
//    a shell started by this process), to the return of the daemon's run,
//    beside the baseline; the signal goes out at delays spread across one
//    feed interval. "disarmed" checks that the chip's counter is zero
//    afterwards, "group gone" that nothing of the command outlived the run.
//
// The program ends with 1 when a target is missed or a run did not
// complete.

#include "bench/bench_support.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace bench;

namespace {

constexpr double kGapTargetMs = 50; // beyond the interval
constexpr double kStopTargetMs = 500;
// The watchdog of the ITE parts: logical device 7, counter register 0x74
// (the daemon's default for them); zero means disarmed.
constexpr uint8_t kWatchdogDevice = 0x07;
constexpr uint8_t kCounterRegister = 0x74;

enum class Checks { None, HangingCommand, All };

const char* checksLabel(Checks checks)
{
    return labelOf(checks,
        { { Checks::None, "none (baseline)" }, { Checks::HangingCommand, "hanging command" },
            { Checks::All, "all checks" } });
}

struct Settings {
    int intervalMs = 1000;
    int commandIntervalMs = 100;
    int commandTimeoutMs = 650;
};

// The configuration of one run; the pid and heartbeat files lie in the
// daemon's temporary directory.
QString config(const InProcessDaemon& daemon, Checks checks, const Settings& settings)
{
    QString ini = chipConfig(Chip::Ite, settings.intervalMs);
    if (checks == Checks::None)
        return ini;
    ini += QStringLiteral("[Health]\nCommand=sleep 10\nCommandIntervalMs=%1\nCommandTimeoutMs=%2\nFailures=1000\n")
               .arg(settings.commandIntervalMs)
               .arg(settings.commandTimeoutMs);
    if (checks == Checks::All) {
        ini += QStringLiteral("PidFile=") + daemon.path(QStringLiteral("application.pid"))
            + QStringLiteral("\nHeartbeatFile=") + daemon.path(QStringLiteral("heartbeat"))
            + QStringLiteral("\nHeartbeatMaxAgeS=5\nMinAvailableMemoryMB=1\nMaxLoad1=1000\nRepairCommand=true\n");
    }
    return ini;
}

// The heartbeat of a live application: the file touched every second from
// a thread of its own, until the object goes away.
class Heartbeat {
public:
    explicit Heartbeat(const QString& path)
        : file(QFile::encodeName(path).toStdString())
        , thread([this] {
            blockStopSignals();
            while (!done) {
                std::ofstream(file, std::ios::app).flush();
                ::utimensat(AT_FDCWD, file.c_str(), nullptr, 0);
                for (int i = 0; i < 100 && !done; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        })
    {
    }
    ~Heartbeat()
    {
        done = true;
        thread.join();
    }
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;

private:
    const std::string file;
    std::atomic<bool> done { false };
    std::thread thread;
};

// ---- Processes --------------------------------------------------------------

struct ProcessInfo {
    pid_t pid = 0;
    std::string comm;
    char state = '?';
    pid_t ppid = 0;
    pid_t pgrp = 0;
};

std::vector<ProcessInfo> processes()
{
    std::vector<ProcessInfo> all;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return all;
    while (const dirent* entry = ::readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in("/proc/" + name + "/stat");
        std::string stat;
        if (!std::getline(in, stat))
            continue;
        // "pid (comm) state ppid pgrp ...", comm may hold spaces.
        const size_t open = stat.find('(');
        const size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open)
            continue;
        ProcessInfo info;
        info.pid = static_cast<pid_t>(std::stol(name));
        info.comm = stat.substr(open + 1, close - open - 1);
        std::istringstream rest(stat.substr(close + 1));
        rest >> info.state >> info.ppid >> info.pgrp;
        all.push_back(info);
    }
    ::closedir(proc);
    return all;
}

// The shell of a health command this process has started and that runs now.
std::optional<pid_t> runningCommandShell()
{
    for (const ProcessInfo& info : processes()) {
        if (info.ppid == ::getpid() && info.comm == "sh" && info.state != 'Z')
            return info.pid;
    }
    return std::nullopt;
}

size_t liveInGroup(pid_t group)
{
    const std::vector<ProcessInfo> all = processes();
    return static_cast<size_t>(std::count_if(
        all.begin(), all.end(), [group](const ProcessInfo& info) { return info.pgrp == group && info.state != 'Z'; }));
}

// ---- Runs -----------------------------------------------------------------------

struct LogCounts {
    int killed = 0; // the command's time-outs
    int otherCommand = 0; // any other failed run of the command
    int otherChecks = 0; // a warning or info line of another check
    int critical = 0;
};

LogCounts countLog(const QStringList& messages, const Settings& settings)
{
    const QString timedOut
        = QStringLiteral("команда не завершилась за %1 мс и остановлена").arg(settings.commandTimeoutMs);
    LogCounts counts;
    for (const QString& line : messages) {
        if (line.startsWith(QLatin1String("[CRIT ]")))
            ++counts.critical;
        if (!line.contains(QStringLiteral("Проверка \"")))
            continue;
        if (!line.contains(QStringLiteral("Проверка \"Command\"")))
            ++counts.otherChecks;
        else if (line.startsWith(QLatin1String("[WARN ]")) && line.contains(timedOut))
            ++counts.killed;
        else
            ++counts.otherCommand;
    }
    return counts;
}

struct Run {
    int code = -1;
    int64_t armedNs = 0; // the end of the start sequence
    std::vector<int64_t> feedNs;
    LogCounts log;
    bool disarmed = false;
    int64_t stopSentNs = 0;
    int64_t returnedNs = 0;
    bool commandAtStop = false;
    bool groupGone = true;
};

// Runs the daemon until @p feeds feeds reached the chip, then stops it
// from the feed's own thread; with @p stopAfterFeed > 0 a helper thread
// stops it instead, @p stopDelayMs after that feed and, with a command
// configured, only while one hangs.
Run runDaemon(Checks checks, const Settings& settings, int feeds, int stopAfterFeed = 0, int stopDelayMs = 0)
{
    Run run;
    InProcessDaemon daemon;
    daemon.writeConfig(config(daemon, checks, settings));
    std::optional<Heartbeat> heartbeat;
    if (checks == Checks::All) {
        QFile pidFile(daemon.path(QStringLiteral("application.pid")));
        if (!pidFile.open(QIODevice::WriteOnly) || pidFile.write(QByteArray::number(::getpid()) + '\n') < 0) {
            std::printf("  cannot write the pid file\n");
            return run;
        }
        pidFile.close();
        heartbeat.emplace(daemon.path(QStringLiteral("heartbeat")));
    }

    std::unique_ptr<SimulatedSuperIo> owned = makeChip(Chip::Ite);
    const SimulatedSuperIo& chip = *owned;
    BenchBus bus(std::move(owned));
    std::atomic<int> fed { 0 };
    timeFeeds(bus, feeds, &run.armedNs, &run.feedNs, [&](int feed) {
        fed = feed;
        if (stopAfterFeed == 0 && feed == feeds)
            requestStop();
    });

    std::atomic<bool> returned { false };
    std::optional<pid_t> shell;
    std::thread stopper;
    if (stopAfterFeed > 0) {
        stopper = std::thread([&] {
            blockStopSignals();
            const auto pause = std::chrono::milliseconds(1);
            while (!returned && fed < stopAfterFeed)
                std::this_thread::sleep_for(pause);
            std::this_thread::sleep_for(std::chrono::milliseconds(stopDelayMs));
            // Within one command cycle a command runs, but for the moment
            // between its kill and the next start.
            for (int i = 0; checks != Checks::None && !shell && !returned && i < 5000; ++i) {
                shell = runningCommandShell();
                if (!shell)
                    std::this_thread::sleep_for(pause);
            }
            if (returned)
                return;
            run.stopSentNs = steadyNs();
            requestStop();
        });
    }
    run.code = runQuietly(daemon, superIoParts(), bus);
    run.returnedNs = steadyNs();
    returned = true;
    if (stopper.joinable())
        stopper.join();
    run.commandAtStop = shell.has_value();
    if (shell) {
        // SIGKILL reaches the group at once; give the kernel a moment to
        // finish the processes off.
        for (int i = 0; i < 100 && liveInGroup(*shell) > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        run.groupGone = liveInGroup(*shell) == 0;
    }
    run.disarmed = chip.reg(kWatchdogDevice, kCounterRegister) == 0;
    run.log = countLog(daemon.messages(), settings);
    if (run.code != 0)
        std::printf("  the daemon ended with exit code %d\n", run.code);
    return run;
}

TargetReport report;

// ---- 1. Feed-to-feed gaps -----------------------------------------------------

struct GapFigures {
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

GapFigures figuresOf(const std::vector<double>& gaps)
{
    return { percentile(gaps, 0.5), percentile(gaps, 0.99), percentile(gaps, 1.0) };
}

void measureGaps(const Settings& settings, int feeds, int runs)
{
    const int interval = settings.intervalMs;
    std::printf(
        "\n1. Feed-to-feed gaps, %d gaps per run, interval %d ms, timeout %d s; command \"sleep 10\" every %d ms, "
        "killed after %d ms\n",
        feeds - 1, interval, int(timeoutForInterval(interval)), settings.commandIntervalMs, settings.commandTimeoutMs);
    std::printf("  run  checks             gaps   p50 ms    p99 ms    max ms   max-int  max/base   killed  ms/kill  "
                "target\n");
    const Checks all[] = { Checks::None, Checks::HangingCommand, Checks::All };
    std::vector<double> pooled[3];
    int killedTotal[3] = {};
    for (int r = 1; r <= runs; ++r) {
        double baselineMax = 0;
        for (size_t c = 0; c < 3; ++c) {
            const Checks checks = all[c];
            const Run run = runDaemon(checks, settings, feeds);
            std::vector<double> gaps;
            for (size_t i = 1; i < run.feedNs.size(); ++i)
                gaps.push_back(static_cast<double>(run.feedNs[i] - run.feedNs[i - 1]) / 1e6);
            const bool commandRuns = checks != Checks::None;
            const LogCounts& log = run.log;
            const bool clean = log.critical == 0 && log.otherCommand == 0 && log.otherChecks == 0
                && (!commandRuns || log.killed > 0);
            if (run.code != 0 || gaps.size() + 1 < static_cast<size_t>(feeds) || !clean) {
                std::printf("  %3d  %-17s  incomplete or unclean run: %zu gaps, %d killed, %d other command "
                            "outcomes, %d other check lines, %d critical\n",
                    r, checksLabel(checks), gaps.size(), log.killed, log.otherCommand, log.otherChecks, log.critical);
                report.record(false);
                continue;
            }
            const GapFigures f = figuresOf(gaps);
            if (!commandRuns)
                baselineMax = f.max;
            const bool met = f.max - interval <= kGapTargetMs;
            // The command starts right after arming and is killed for the
            // last time before the last feed.
            const double span = static_cast<double>(run.feedNs.back() - run.armedNs) / 1e6;
            std::printf("  %3d  %-17s  %4zu  %8.1f  %8.1f  %8.1f  %+8.1f  %8.3f  %7d  %7s  %s\n", r,
                checksLabel(checks), gaps.size(), f.p50, f.p99, f.max, f.max - interval,
                baselineMax > 0 ? f.max / baselineMax : 0.0, log.killed,
                commandRuns ? format("%.0f", span / log.killed).c_str() : "-", verdict(met).c_str());
            pooled[c].insert(pooled[c].end(), gaps.begin(), gaps.end());
            killedTotal[c] += log.killed;
        }
    }

    std::printf("  all runs together:\n");
    const GapFigures base = figuresOf(pooled[0]);
    for (size_t c = 0; c < 3; ++c) {
        if (pooled[c].empty())
            continue;
        const GapFigures f = figuresOf(pooled[c]);
        const bool met = f.max - interval <= kGapTargetMs;
        report.record(met);
        std::printf("  all  %-17s  %4zu  %8.1f  %8.1f  %8.1f  %+8.1f  %8.3f  %7d           %s\n", checksLabel(all[c]),
            pooled[c].size(), f.p50, f.p99, f.max, f.max - interval, base.max > 0 ? f.max / base.max : 0.0,
            killedTotal[c], verdict(met).c_str());
        if (c == 0)
            continue;
        report.note(std::string("gaps, ") + checksLabel(all[c]) + ", interval " + std::to_string(interval) + " ms: "
            + format("p50 %.1f, p99 %.1f, max %.1f ms, max-interval %+.1f ms", f.p50, f.p99, f.max, f.max - interval)
            + format(" (baseline p50 %.1f, max-interval %+.1f ms; p50 ratio %.3f, max ratio %.3f); ", base.p50,
                base.max - interval, base.p50 > 0 ? f.p50 / base.p50 : 0, base.max > 0 ? f.max / base.max : 0)
            + std::to_string(pooled[c].size()) + " gaps, " + std::to_string(killedTotal[c])
            + " commands killed; target max-interval <= 50 ms: " + verdict(met));
    }
}

// ---- 2. Stop latency --------------------------------------------------------------

void measureStop(const Settings& settings, int runs)
{
    const int interval = settings.intervalMs;
    std::printf("\n2. SIGTERM to the return of the daemon's run, %d run(s) each; the signal goes out a delay after the "
                "second feed,\n  with the command: once a command runs after that\n",
        runs);
    std::printf("  checks             run   delay ms   SIGTERM to exit ms   command hung   group gone   disarmed   "
                "target\n");
    std::string baseline;
    for (const Checks checks : { Checks::None, Checks::HangingCommand }) {
        const bool commandRuns = checks != Checks::None;
        std::vector<double> latencies;
        for (int r = 1; r <= runs; ++r) {
            const int delayMs = (r - 1) * interval / runs;
            const Run run = runDaemon(checks, settings, 1000, 2, delayMs);
            if (run.code != 0 || run.stopSentNs == 0 || (commandRuns && !run.commandAtStop)) {
                std::printf("  %-17s  %3d   incomplete run\n", checksLabel(checks), r);
                report.record(false);
                continue;
            }
            const double latency = static_cast<double>(run.returnedNs - run.stopSentNs) / 1e6;
            const bool met = latency <= kStopTargetMs && run.disarmed && run.groupGone;
            report.record(run.disarmed && run.groupGone);
            std::printf("  %-17s  %3d   %8d   %18.1f   %12s   %10s   %8s   %s\n", checksLabel(checks), r, delayMs,
                latency, commandRuns ? "yes" : "-", commandRuns ? (run.groupGone ? "yes" : "NO") : "-",
                run.disarmed ? "yes" : "NO", verdict(met).c_str());
            latencies.push_back(latency);
        }
        if (latencies.empty())
            continue;
        const StopFigures stop = stopFigures(latencies, kStopTargetMs);
        report.record(stop.met);
        std::printf("  %-17s  p50              %18.1f\n", checksLabel(checks), stop.p50Ms);
        std::printf("  %-17s  max              %18.1f                                      %s\n", checksLabel(checks),
            stop.maxMs, verdict(stop.met).c_str());
        if (!commandRuns) {
            baseline = stop.text;
            continue;
        }
        report.note("stop while a command hangs: " + stop.text + " over " + std::to_string(latencies.size())
            + " runs (baseline " + baseline + "); target max <= 500 ms: " + verdict(stop.met));
    }
}

} // namespace

int main(int argc, char** argv)
{
    const Options options(argc, argv);
    const int gaps = options.number("feeds", 20);
    const int runs = options.number("runs", 3);
    const int stops = options.number("stops", 5);
    Settings settings;
    settings.intervalMs = options.number("interval", settings.intervalMs);
    settings.commandIntervalMs = options.number("command-interval", settings.commandIntervalMs);
    settings.commandTimeoutMs = options.number("command-timeout", settings.commandTimeoutMs);
    if (!options.accepted(gaps >= 1 && runs >= 1 && stops >= 1 && settings.intervalMs >= 1
                && settings.commandIntervalMs >= 1 && settings.commandTimeoutMs >= 1,
            "wdt-bench-health [--feeds 20] [--runs 3] [--stops 5] [--interval 1000] "
            "[--command-interval 100] [--command-timeout 650]"))
        return 2;

    std::printf(
        "Feeding with health checks: the daemon in-process against a simulated %s\n", chipLabel(Chip::Ite).c_str());
    std::printf("machine: %s\n", machineLine().c_str());
    std::printf("targets: largest gap <= interval + %.0f ms, every command run killed at its time-out, feeding never "
                "stopped; stop <= %.0f ms, disarmed, nothing of the command left\n",
        kGapTargetMs, kStopTargetMs);

    const int64_t started = steadyNs();
    // Feed gaps: one more feed than gaps.
    measureGaps(settings, gaps + 1, runs);
    measureStop(settings, stops);

    return report.finish(started);
}
