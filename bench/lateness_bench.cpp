// Lateness of the feed timer: for every tick, how long after its due time
// the feed reached the simulated chip, beside the same for a bare precise
// QTimer and for the kernel's own timer (a thread sleeping until each due
// time), all measured in the same run. With --load N, N busy processes
// compete for the cores during all three; with --rr P all three run with
// the real-time round-robin priority P, as the service unit runs the daemon.
//
// Due times follow the schedule a precise QTimer keeps: one interval apart
// from the start; when a tick comes more than an interval late, Qt either
// fires the missed one at once (when it read the clock before the due time
// passed) or starts a new schedule one interval after the moment it read
// the clock. That moment cannot be seen from outside, so the analysis tells
// the two apart by the next tick (at once, or about an interval later) and
// places a new schedule as late as the ticks allow: no tick is ever early,
// so the due times cannot be later than any tick's. After a restart the
// lateness is therefore understated rather than overstated, by no more than
// the smallest lateness in that stretch.
//
// The daemon starts its timer inside runDaemon, a few log lines after the
// watchdog's start sequence; the end of that sequence serves as the start of
// the first schedule, which overstates the daemon's lateness by those few
// lines. A feed is timed at its first port write, right after the
// test-marker check.
//
// Qt 5 rounds every timer wait up to a whole millisecond, so even a bare
// precise QTimer is late by up to a millisecond, half a millisecond at the
// median; the kernel row shows what is left without that.
//
// Also shown: the longest gap between two feeds beyond the interval, which
// is what the watchdog's countdown sees.

#include "bench/bench_support.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

using namespace bench;

namespace {

struct Series {
    int64_t startNs = 0;
    std::vector<int64_t> tickNs;
};

struct Figures {
    double p50Us = 0;
    double p99Us = 0;
    double maxUs = 0;
    double worstGapUs = 0;
    int restarts = 0;
    bool complete = false;
};

Figures analyse(const Series& series, int intervalMs, int ticks)
{
    Figures figures;
    const std::vector<int64_t>& at = series.tickNs;
    if (static_cast<int>(at.size()) < ticks)
        return figures;
    const int64_t interval = static_cast<int64_t>(intervalMs) * 1000000;

    // Stretches on one schedule: the first tick of each, and an upper bound
    // of its due time.
    struct Stretch {
        size_t first;
        int64_t due;
    };
    std::vector<Stretch> stretches { { 0, series.startNs + interval } };
    int64_t due = series.startNs + interval;
    int64_t worstGap = 0;
    for (size_t k = 0; k < at.size(); ++k) {
        worstGap = std::max(worstGap, at[k] - (k == 0 ? series.startNs : at[k - 1]) - interval);
        due += interval;
        const bool caughtUpAtOnce = k + 1 < at.size() && at[k + 1] - at[k] < interval / 2;
        if (due < at[k] && !caughtUpAtOnce) {
            due = at[k] + interval;
            stretches.push_back({ k + 1, due });
        }
    }

    std::vector<double> late;
    late.reserve(at.size());
    for (size_t s = 0; s < stretches.size(); ++s) {
        const size_t first = stretches[s].first;
        const size_t end = s + 1 < stretches.size() ? stretches[s + 1].first : at.size();
        int64_t start = stretches[s].due;
        if (s > 0) {
            for (size_t k = first; k < end; ++k)
                start = std::min(start, at[k] - static_cast<int64_t>(k - first) * interval);
        }
        for (size_t k = first; k < end; ++k)
            late.push_back(static_cast<double>(at[k] - start - static_cast<int64_t>(k - first) * interval) / 1000.0);
    }

    // Ticks are never early on Qt's schedule: a clearly negative lateness
    // means the schedule was not reconstructed right.
    if (percentile(late, 0.0) < -200.0)
        std::printf("  note: a tick %.0f us before its reconstructed due time\n", percentile(late, 0.0));
    figures.p50Us = percentile(late, 0.50);
    figures.p99Us = percentile(late, 0.99);
    figures.maxUs = percentile(late, 1.0);
    figures.worstGapUs = static_cast<double>(worstGap) / 1000.0;
    figures.restarts = static_cast<int>(stretches.size()) - 1;
    figures.complete = true;
    return figures;
}

// The same schedule kept by sleeping until each due time: what the machine
// itself delivers, with no event loop in between.
Series recordKernelSleep(int intervalMs, int ticks)
{
    Series series;
    series.tickNs.reserve(ticks);
    const int64_t interval = static_cast<int64_t>(intervalMs) * 1000000;
    series.startNs = steadyNs();
    int64_t due = series.startNs + interval;
    for (int tick = 1; tick <= ticks; ++tick) {
        const timespec until { static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000) };
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) { }
        const int64_t at = steadyNs();
        series.tickNs.push_back(at);
        due += interval;
        if (due < at)
            due = at + interval;
    }
    return series;
}

Series recordBare(int intervalMs, int ticks)
{
    Series series;
    series.tickNs.reserve(ticks);
    runBareTimerLoop(
        intervalMs,
        [&](int tick) {
            if (tick > ticks)
                return;
            series.tickNs.push_back(steadyNs());
            if (tick == ticks)
                requestStop();
        },
        [&] { series.startNs = steadyNs(); });
    return series;
}

Series recordDaemon(Chip chip, int intervalMs, int ticks)
{
    Series series;
    InProcessDaemon daemon;
    daemon.writeConfig(chipConfig(chip, intervalMs));
    BenchBus bus(makeChip(chip));
    timeFeeds(bus, ticks, &series.startNs, &series.tickNs, [ticks](int feed) {
        if (feed == ticks)
            requestStop();
    });
    const int code = runQuietly(daemon, superIoParts(), bus);
    if (code != 0)
        std::fprintf(stderr, "daemon run ended with exit code %d\n", code);
    return series;
}

void printRow(const char* what, int run, const Figures& f)
{
    if (!f.complete) {
        std::printf("  %-8s %3d   incomplete run\n", what, run);
        return;
    }
    std::printf("  %-8s %3d   %8.0f   %8.0f   %8.0f   %14.0f   %8d\n", what, run, f.p50Us, f.p99Us, f.maxUs,
        f.worstGapUs, f.restarts);
}

} // namespace

int main(int argc, char** argv)
{
    const Options options(argc, argv);
    const std::string chipName = options.text("chip", "ite");
    const int intervalMs = options.number("interval", 5);
    const int ticks = options.number("ticks", 2000);
    const int load = options.number("load", 0);
    const int runs = options.number("runs", 3);
    const int rrPriority = options.number("rr", 0);
    Chip chip;
    if (!options.accepted(parseChip(chipName, &chip) && intervalMs >= 1 && ticks >= 1 && runs >= 1,
            "wdt-bench-lateness [--chip ite|nuvoton|fintek] [--interval 5] [--ticks 2000] [--load 0] "
            "[--runs 3] [--rr PRIORITY]"))
        return 2;

    // Before any thread exists: the busy processes are forked, and before
    // the priority is raised, so that they keep the normal one.
    BusyLoad busy(load);
    if (rrPriority > 0 && !useRoundRobin(rrPriority))
        return 3;

    std::printf("Feed timer lateness: interval %d ms, %d ticks per run, %d run(s) each, %d busy process(es), %s\n",
        intervalMs, ticks, runs, load,
        rrPriority > 0 ? ("SCHED_RR priority " + std::to_string(rrPriority)).c_str() : "normal scheduling");
    std::printf("machine: %s\n", machineLine().c_str());
    std::printf("daemon: %s\n", chipLabel(chip).c_str());
    std::printf("  series   run    p50 us     p99 us     max us   longest gap over   schedule\n");
    std::printf("                                                  interval us   restarts\n");

    std::vector<double> kernel[4];
    std::vector<double> bare[4];
    std::vector<double> daemon[4];
    int incomplete = 0;
    for (int run = 1; run <= runs; ++run) {
        const Figures k = analyse(recordKernelSleep(intervalMs, ticks), intervalMs, ticks);
        const Figures b = analyse(recordBare(intervalMs, ticks), intervalMs, ticks);
        const Figures d = analyse(recordDaemon(chip, intervalMs, ticks), intervalMs, ticks);
        printRow("kernel", run, k);
        printRow("bare", run, b);
        printRow("daemon", run, d);
        for (const auto& [figures, into] :
            { std::pair { &k, kernel }, std::pair { &b, bare }, std::pair { &d, daemon } }) {
            if (!figures->complete) {
                ++incomplete;
                continue;
            }
            into[0].push_back(figures->p50Us);
            into[1].push_back(figures->p99Us);
            into[2].push_back(figures->maxUs);
            into[3].push_back(figures->worstGapUs);
        }
    }
    std::printf("  event dispatcher: %s\n", eventDispatcherName().c_str());
    std::printf("  medians of the runs:\n");
    for (const auto& [what, into] :
        { std::pair { "kernel", kernel }, std::pair { "bare", bare }, std::pair { "daemon", daemon } }) {
        std::printf("  %-8s med   %8.0f   %8.0f   %8.0f   %14.0f\n", what, median(into[0]), median(into[1]),
            median(into[2]), median(into[3]));
    }
    std::printf("  target: daemon p99 <= %d us (%s)\n", load > 0 ? 10000 : 2000, load > 0 ? "loaded" : "idle");
    return incomplete == 0 ? 0 : 1;
}
