// CPU cost of one feed tick of the real daemon (debug off) against a
// simulated Super I/O chip, beside one tick of a bare precise QTimer in the
// same kind of event loop. Both run at the shortest interval the daemon
// accepts (1 ms) and are measured over the same number of ticks after a
// warm-up; the bare loop and the daemon take turns, pair by pair, so that a
// drift of the machine's speed hits both alike.
//
// Under callgrind (--collect-atstart=no) each measured window lands in a
// dump of its own, "bare <chip>" or "daemon <chip>", whose instruction total
// divided by the tick count is the cost of one tick.

#include "bench/bench_support.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace bench;

namespace {

struct Window {
    int64_t cpuNs = 0;
    int64_t wallNs = 0;
    bool complete = false;
};

// Opens the window at tick `warmup` and closes it `ticks` later; at the end
// of the window the loop is asked to stop.
class WindowClock {
public:
    WindowClock(int warmup, int ticks, std::string name)
        : warmup(warmup)
        , ticks(ticks)
        , name(std::move(name))
    {
    }

    void tick(int number)
    {
        if (number == warmup) {
            windowStart();
            cpuStart = processCpuNs();
            wallStart = steadyNs();
        } else if (number == warmup + ticks) {
            result.cpuNs = processCpuNs() - cpuStart;
            result.wallNs = steadyNs() - wallStart;
            windowEnd(name.c_str());
            result.complete = true;
            requestStop();
        }
    }

    Window result;

private:
    const int warmup;
    const int ticks;
    const std::string name;
    int64_t cpuStart = 0;
    int64_t wallStart = 0;
};

Window measureBare(const std::string& key, int warmup, int ticks)
{
    WindowClock clock(warmup, ticks, "bare " + key);
    runBareTimerLoop(1, [&](int tick) { clock.tick(tick); });
    return clock.result;
}

Window measureDaemon(Chip chip, const std::string& key, int warmup, int ticks, int* logLines)
{
    InProcessDaemon daemon;
    daemon.writeConfig(chipConfig(chip, 1));
    BenchBus bus(makeChip(chip));
    WindowClock clock(warmup, ticks, "daemon " + key);
    // The end of each feed's configuration session marks its tick.
    bus.onSessionClosed = [&](int sessions) { clock.tick(sessions - kSessionsBeforeFeeds); };
    const int code = runQuietly(daemon, superIoParts(), bus);
    if (code != 0)
        std::fprintf(stderr, "daemon run for %s ended with exit code %d\n", key.c_str(), code);
    *logLines = static_cast<int>(daemon.logLines().size());
    return clock.result;
}

double perTick(int64_t ns, int ticks)
{
    return static_cast<double>(ns) / ticks;
}

} // namespace

int main(int argc, char** argv)
{
    const Options options(argc, argv);
    const std::string chips = options.text("chips", "ite,nuvoton,fintek");
    const int warmup = options.number("warmup", 200);
    const int ticks = options.number("ticks", 5000);
    const int pairs = options.number("pairs", underValgrind() ? 1 : 3);
    if (!options.accepted(ticks >= 1 && pairs >= 1 && warmup >= 1,
            "wdt-bench-tick [--chips ite,nuvoton,fintek] [--warmup 200] [--ticks 5000] [--pairs 3]"))
        return 2;

    std::printf("Feed tick CPU cost, debug off: interval 1 ms, %d warm-up ticks, %d measured ticks, %d pair(s)\n",
        warmup, ticks, pairs);
    std::printf("machine: %s\n", machineLine().c_str());
    if (underValgrind())
        std::printf("under valgrind: the CPU times below are valgrind's; the instruction counts are in the "
                    "callgrind dumps named \"bare <chip>\" and \"daemon <chip>\"\n");

    int failures = 0;
    size_t start = 0;
    while (start <= chips.size()) {
        const size_t comma = chips.find(',', start);
        const std::string key = chips.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? chips.size() + 1 : comma + 1;
        Chip chip;
        if (!parseChip(key, &chip)) {
            std::fprintf(stderr, "unknown chip %s (fintek, ite, nuvoton)\n", key.c_str());
            return 2;
        }

        std::printf("\n%s\n", chipLabel(chip).c_str());
        std::printf("  pair   bare ns/tick   daemon ns/tick   difference   ratio   log lines\n");
        std::vector<double> bare;
        std::vector<double> daemon;
        std::vector<double> ratios;
        for (int pair = 1; pair <= pairs; ++pair) {
            const Window b = measureBare(key, warmup, ticks);
            int logLines = 0;
            const Window d = measureDaemon(chip, key, warmup, ticks, &logLines);
            if (!b.complete || !d.complete) {
                std::printf("  %-4d   incomplete run\n", pair);
                ++failures;
                continue;
            }
            bare.push_back(perTick(b.cpuNs, ticks));
            daemon.push_back(perTick(d.cpuNs, ticks));
            ratios.push_back(daemon.back() / bare.back());
            std::printf("  %-4d   %12.0f   %14.0f   %10.0f   %5.2f   %9d\n", pair, bare.back(), daemon.back(),
                daemon.back() - bare.back(), ratios.back(), logLines);
        }
        if (!ratios.empty())
            std::printf("  median %12.0f   %14.0f   %10.0f   %5.2f   (target: ratio <= 2)\n", median(bare),
                median(daemon), median(daemon) - median(bare), median(ratios));
    }
    std::printf("\nevent dispatcher: %s\n", eventDispatcherName().c_str());
    return failures == 0 ? 0 : 1;
}
