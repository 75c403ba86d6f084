// Resident memory and heap in use of the real daemon after start-up and
// along a long run of feed ticks, the first sample being the baseline.
//
// Super I/O: a simulated chip, a feed every 1 ms (the shortest interval the
// daemon accepts), samples taken inside the feed at the given tick numbers.
// Serial board (optional): a simulated board on a pseudo-terminal with
// periodic monitoring of one channel, feeds back to back (each exchange
// waits for the line to fall quiet), samples taken from a watcher thread.

#include "bench/bench_support.h"
#include "core/candidates.h"

#include "sim/board_simulator.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

using namespace bench;

namespace {

struct Sample {
    long feeds = 0;
    long rssKiB = 0;
    size_t heapBytes = 0;
};

std::vector<long> samplePoints(long first, long last)
{
    std::vector<long> points { first };
    for (const long fraction : { 10L, 4L, 2L }) {
        const long point = last / fraction;
        if (point > points.back() && point < last)
            points.push_back(point);
    }
    if (last * 3 / 4 > points.back() && last * 3 / 4 < last)
        points.push_back(last * 3 / 4);
    points.push_back(last);
    return points;
}

Sample sampleNow(long feeds)
{
    return Sample { feeds, residentKiB(), heapInUseBytes() };
}

void printSamples(const std::vector<Sample>& samples)
{
    if (samples.empty()) {
        std::printf("  no samples: the run did not get past start-up\n");
        return;
    }
    std::printf("  feed ticks   RSS KiB   heap in use bytes   RSS growth KiB   heap growth bytes\n");
    const Sample& base = samples.front();
    for (const Sample& s : samples) {
        std::printf("  %10ld   %7ld   %17zu   %+14ld   %+17ld\n", s.feeds, s.rssKiB, s.heapBytes,
            s.rssKiB - base.rssKiB, static_cast<long>(s.heapBytes) - static_cast<long>(base.heapBytes));
    }
    const Sample& last = samples.back();
    std::printf("  growth from tick %ld to tick %ld: RSS %+ld KiB, heap %+ld bytes (target: none)\n", base.feeds,
        last.feeds, last.rssKiB - base.rssKiB, static_cast<long>(last.heapBytes) - static_cast<long>(base.heapBytes));
}

bool superIoRun(Chip chip, long startup, long ticks)
{
    std::printf("\nSuper I/O, %s, interval 1 ms, %ld feed ticks\n", chipLabel(chip).c_str(), ticks);
    const std::vector<long> points = samplePoints(startup, ticks);
    std::vector<Sample> samples;
    samples.reserve(points.size());

    InProcessDaemon daemon;
    daemon.writeConfig(chipConfig(chip, 1));
    BenchBus bus(makeChip(chip));
    size_t next = 0;
    bus.onSessionClosed = [&](int sessions) {
        const long feed = sessions - kSessionsBeforeFeeds;
        if (next < points.size() && feed == points[next]) {
            samples.push_back(sampleNow(feed));
            if (++next == points.size())
                requestStop();
        }
    };
    const int code = runQuietly(daemon, superIoParts(), bus);
    printSamples(samples);
    std::printf("  log lines written: %d\n", static_cast<int>(daemon.logLines().size()));
    return code == 0 && samples.size() == points.size();
}

bool boardRun(long startup, long ticks)
{
    using Reply = BoardSimulator::Reply;
    std::printf(
        "\nSerial board, monitoring one channel every 200 ms, feeds back to back, about %ld feed ticks\n", ticks);
    BoardSimulator board;
    if (!board.ok()) {
        std::printf("  no pseudo-terminal available\n");
        return false;
    }
    board.reply("&01M", Reply::line("!01VLK2.3"));
    board.reply("$01T0", Reply::line("!01+41.50"));
    board.fallback(Reply::line("!01"));

    InProcessDaemon daemon;
    // Built by concatenation: the templates hold "%1" of their own.
    daemon.writeConfig(QStringLiteral("[Debug]\nEnabled=off\n[Global]\nForceTarvelo=on\n[Vendor_Tarvelo]\nPort=")
        + QString::fromStdString(board.portName())
        + QStringLiteral("\nStartCmds=~%1WS\nFeedCmds=~%1WF\nStopCmds=~%1WP\nEnvMonitor=on\nEnvIntervalMs=200\n"
                         "[Valkerinde2.3]\nIntervalMs=1\nTerm0Cmds=$%1T0:CPU %1 C\n"));
    BenchBus bus; // no chip: the Super I/O drivers are not even probed

    const std::vector<long> points = samplePoints(startup, ticks);
    std::vector<Sample> samples;
    samples.reserve(points.size());
    std::atomic<bool> finished { false };
    std::thread watcher([&] {
        // The daemon's thread takes the stop signal.
        blockStopSignals();

        // The simulator records every request; forgetting them now and then
        // keeps its record from growing with the run. A feed that arrives
        // between counting and forgetting goes uncounted.
        long forgotten = 0;
        size_t next = 0;
        while (!finished && next < points.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const long feeds = forgotten + static_cast<long>(board.count("~01WF"));
            if (board.requestCount() > 50) {
                forgotten = feeds;
                board.clearRecord();
            }
            if (feeds >= points[next]) {
                samples.push_back(sampleNow(feeds));
                ++next;
            }
        }
        requestStop();
    });
    const int code = runQuietly(daemon, productionParts(), bus);
    finished = true;
    watcher.join();
    printSamples(samples);
    std::printf("  log lines written: %d\n", static_cast<int>(daemon.logLines().size()));
    return code == 0 && samples.size() == points.size();
}

} // namespace

int main(int argc, char** argv)
{
    const Options options(argc, argv);
    const std::string chipName = options.text("chip", "ite");
    const long ticks = options.number("ticks", 100000);
    const long startup = options.number("startup", 100);
    const long boardTicks = options.number("board-ticks", 0);
    Chip chip;
    if (!options.accepted(
            parseChip(chipName, &chip) && ticks > startup && startup >= 1 && (boardTicks <= 0 || boardTicks > 100),
            "wdt-bench-memory [--chip ite|nuvoton|fintek] [--startup 100] [--ticks 100000] "
            "[--board-ticks N (> 100; 0: no board run)]"))
        return 2;

    std::printf("Memory after start-up and along the feed ticks (the first row is the baseline)\n");
    std::printf("machine: %s\n", machineLine().c_str());
    bool ok = superIoRun(chip, startup, ticks);
    if (boardTicks > 0)
        ok = boardRun(100, boardTicks) && ok;
    return ok ? 0 : 1;
}
