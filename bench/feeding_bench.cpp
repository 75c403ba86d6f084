// Whether sensor readings on the serial board keep the feed on time: the
// real daemon (production drivers and monitor) runs in-process against the
// board simulator on a pseudo-terminal, and every figure is taken from the
// board's side, as the watchdog's countdown sees it: the arrival of each
// request line ("~01S" arms, "~01F" feeds, "~01P" disarms).
//
// 1. Feed-to-feed gaps with 32 dynamic channels under periodic monitoring
//    whose period equals the feed interval, so that a sweep is always due,
//    beside a baseline of the same daemon and board with no channels. The
//    channels are silent (every reading waits out its whole reply time),
//    answer at 9600-baud pace (about 3 ms, then one byte per millisecond),
//    or babble: the first channel asked starts a transmission that never
//    ends, so every later exchange on the line, the feeds included, hears
//    an endless stream and is ended only by its own time bound, as with a
//    module whose transmitter is stuck on a shared line.
// 2. The time from arming to the first feed with 6 static and 32 dynamic
//    channels, all silent, and periodic monitoring off, so that both
//    start-up sweeps are due at once.
// 3. The stop latency: SIGTERM sent during a start-up sweep of silent
//    channels, a little after the board saw a channel request (the delay
//    varies from run to run across one reading), to the return of the
//    daemon's run.
//
// Each figure stands beside the feed interval and the watchdog timeout the
// daemon arms (interval / 500 + 1 s); the program ends with 1 when a target
// is missed or a run did not complete.

#include "bench/bench_support.h"

#include "core/candidates.h"
#include "sim/board_simulator.h"

#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace bench;
using Reply = BoardSimulator::Reply;
using Millis = std::chrono::milliseconds;

namespace {

constexpr double kGapTargetMs = 50; // beyond the interval
constexpr double kFirstFeedTargetMs = 50; // beyond the interval
constexpr double kStopTargetMs = 500;
// The targets hold for feed intervals of this length and more.
constexpr int kTargetsFromIntervalMs = 1000;
// The silent channel's cycle: the wait-out of a late reply to the request
// before and the reply time, about 300 ms. The stop runs spread their
// moment across it.
constexpr int kSilentReadingMs = 300;
constexpr size_t kStopAfterChannelRequests = 3;

enum class Channels { None, Silent, Paced, Babbling };

const char* channelsLabel(Channels channels)
{
    return labelOf(channels,
        { { Channels::None, "none (baseline)" }, { Channels::Silent, "32 silent" },
            { Channels::Paced, "32 at 9600 baud" }, { Channels::Babbling, "32 babbling" } });
}

double msBetween(BoardSimulator::Clock::time_point from, BoardSimulator::Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

bool isChannelRequest(const std::string& request)
{
    return !request.empty() && request[0] == '$';
}

// The board of model Valkerinde2.3 that acknowledges its watchdog commands;
// its channels answer as @p channels says.
void scriptBoard(BoardSimulator& board, Channels channels)
{
    board.reply("&01M", Reply::line("!01VLK2.3"));
    for (const char* command : { "~01S", "~01F", "~01P" })
        board.reply(command, Reply::line("!01"));
    switch (channels) {
    case Channels::None:
    case Channels::Silent:
        break;
    case Channels::Paced:
        board.fallback(Reply::split({ "!", "0", "1", "+", "2", "3", ".", "4", "5", "\r" }, Millis(1)).after(Millis(3)));
        break;
    case Channels::Babbling: {
        // One transmitter, once started, talks on: about a byte per
        // millisecond, never a quiet gap long enough to end a reply.
        bool started = false;
        board.respond([started](const std::string&) mutable -> std::optional<Reply> {
            if (started)
                return std::nullopt;
            started = true;
            return Reply::stream("!01+23.45\r", Millis(10));
        });
        break;
    }
    }
}

// Built by concatenation: the templates hold "%1" of their own.
QString boardConfig(
    const BoardSimulator& board, int intervalMs, bool monitoring, bool dynamicChannels, bool staticChannels)
{
    QString ini = QStringLiteral("[Debug]\nEnabled=off\n[Global]\nForceTarvelo=on\n[Vendor_Tarvelo]\nPort=")
        + QString::fromStdString(board.portName()) + QStringLiteral("\nStartCmds=~%1S\nFeedCmds=~%1F\nStopCmds=~%1P\n")
        + (monitoring ? QStringLiteral("EnvMonitor=on\nEnvIntervalMs=%1\n").arg(intervalMs)
                      : QStringLiteral("EnvMonitor=off\n"))
        + QStringLiteral("[Valkerinde2.3]\nIntervalMs=%1\n").arg(intervalMs);
    if (dynamicChannels) {
        for (int i = 0; i < 16; ++i)
            ini += QStringLiteral("Term%1Cmds=$%2T%1\n").arg(i).arg(QStringLiteral("%1"));
        for (int i = 0; i < 16; ++i)
            ini += QStringLiteral("Cool%1Cmds=$%2C%1\n").arg(i).arg(QStringLiteral("%1"));
    }
    if (staticChannels) {
        ini += QStringLiteral("HitWDTCmds=$%1H\nOdmCmds=$%1O\nGreenCmds=$%1G\nMuteCmds=$%1U\nErrorsCmds=$%1E\n"
                              "ErrorCmds=$%1R\n");
    }
    return ini;
}

// Sends SIGTERM from a thread of its own once @p due holds (checked at every
// request the board receives), @p delay after that, the way a service
// manager would; after @p bound it sends it anyway and notes that the
// condition never held. Nothing is sent once the daemon has returned.
class Stopper {
public:
    Stopper(const BoardSimulator& board, std::function<bool()> due, Millis delay, Millis bound)
        : thread([this, &board, due = std::move(due), delay, bound] {
            blockStopSignals();
            const auto deadline = BoardSimulator::Clock::now() + bound;
            while (!returned && !due() && BoardSimulator::Clock::now() < deadline)
                board.waitForRequests(board.requestCount() + 1, Millis(50));
            if (returned)
                return;
            conditionMet = due();
            if (delay.count() > 0)
                std::this_thread::sleep_for(delay);
            sentNs = steadyNs();
            requestStop();
        })
    {
    }
    ~Stopper() { finish(); }
    Stopper(const Stopper&) = delete;
    Stopper& operator=(const Stopper&) = delete;

    // After the daemon's run returned.
    void finish()
    {
        returned = true;
        if (thread.joinable())
            thread.join();
    }
    bool met() const { return conditionMet; }
    int64_t sentAtNs() const { return sentNs; }

private:
    std::atomic<bool> returned { false };
    std::atomic<bool> conditionMet { false };
    std::atomic<int64_t> sentNs { 0 };
    std::thread thread;
};

struct Run {
    bool ok = false; // the daemon returned 0 and the stop condition held
    std::vector<BoardSimulator::Request> requests;
    int64_t stopSentNs = 0;
    int64_t returnedNs = 0;
};

Run runDaemon(Channels channels, const std::function<QString(const BoardSimulator&)>& config,
    const std::function<bool(const BoardSimulator&)>& stopWhen, Millis stopDelay, Millis bound)
{
    Run run;
    BoardSimulator board;
    if (!board.ok()) {
        std::printf("  no pseudo-terminal available\n");
        return run;
    }
    scriptBoard(board, channels);
    InProcessDaemon daemon;
    daemon.writeConfig(config(board));
    Stopper stopper(
        board, [&] { return stopWhen(board); }, stopDelay, bound);
    const int code = daemon.run(productionParts(), true, "wdt-bench-feeding");
    run.returnedNs = steadyNs();
    stopper.finish();
    if (code != 0)
        std::printf("  the daemon ended with exit code %d\n", code);
    run.ok = code == 0 && stopper.met();
    run.stopSentNs = stopper.sentAtNs();
    run.requests = board.requests();
    return run;
}

std::vector<BoardSimulator::Clock::time_point> timesOf(const Run& run, const std::string& text)
{
    std::vector<BoardSimulator::Clock::time_point> at;
    for (const BoardSimulator::Request& request : run.requests) {
        if (request.text == text)
            at.push_back(request.at);
    }
    return at;
}

size_t channelRequests(const Run& run)
{
    return static_cast<size_t>(std::count_if(run.requests.begin(), run.requests.end(),
        [](const BoardSimulator::Request& request) { return isChannelRequest(request.text); }));
}

TargetReport report;

// ---- 1. Feed-to-feed gaps -----------------------------------------------------

void measureGaps(const std::vector<int>& intervals, int feeds)
{
    std::printf("\n1. Feed-to-feed gaps, %d gaps per run after the first feed, EnvMonitor=on with EnvIntervalMs equal "
                "to the interval\n",
        feeds);
    std::printf("  interval  timeout  channels             gaps   p50 ms    p99 ms    max ms   max-int   max/int   "
                "readings   target\n");
    for (const int interval : intervals) {
        const int timeout = timeoutForInterval(interval);
        double baselineOver = 0;
        double baselineRatio = 0;
        for (const Channels channels : { Channels::None, Channels::Silent, Channels::Paced, Channels::Babbling }) {
            const bool withChannels = channels != Channels::None;
            // Generous: before the readings were fitted around the feeds, a
            // babbling sweep held a feed back for half a minute.
            const Millis bound((feeds + 2) * (interval + 40000));
            const Run run = runDaemon(
                channels,
                [&](const BoardSimulator& board) { return boardConfig(board, interval, true, withChannels, false); },
                [&](const BoardSimulator& board) { return board.count("~01F") >= static_cast<size_t>(feeds) + 1; },
                Millis(0), bound);
            const auto fed = timesOf(run, "~01F");
            std::vector<double> gaps;
            for (size_t i = 1; i < fed.size() && gaps.size() < static_cast<size_t>(feeds); ++i)
                gaps.push_back(msBetween(fed[i - 1], fed[i]));
            if (!run.ok || gaps.size() < static_cast<size_t>(feeds)) {
                std::printf("  %8d  %5d s  %-18s  incomplete run (%zu gaps)\n", interval, timeout,
                    channelsLabel(channels), gaps.size());
                report.record(false);
                continue;
            }
            const double p50 = percentile(gaps, 0.5);
            const double p99 = percentile(gaps, 0.99);
            const double max = percentile(gaps, 1.0);
            const double over = max - interval;
            const double ratio = max / interval;
            const bool applies = interval >= kTargetsFromIntervalMs;
            const bool met = over <= kGapTargetMs;
            report.record(met || !applies);
            std::printf("  %8d  %5d s  %-18s  %4zu  %8.1f  %8.1f  %8.1f  %+8.1f  %8.3f  %9zu   %s\n", interval, timeout,
                channelsLabel(channels), gaps.size(), p50, p99, max, over, ratio, channelRequests(run),
                verdict(met, applies).c_str());
            if (!withChannels) {
                baselineOver = over;
                baselineRatio = ratio;
                continue;
            }
            report.note("gaps " + std::string(channelsLabel(channels)) + ", interval " + std::to_string(interval)
                + " ms, timeout " + std::to_string(timeout) + " s: "
                + format(
                    "p50 %.1f, p99 %.1f, max %.1f ms; max-interval %+.1f ms, max/interval %.3f", p50, p99, max, over)
                + format(" (baseline %+.1f ms, %.3f); ", baselineOver, baselineRatio, 0, 0)
                + std::to_string(gaps.size()) + " gaps, " + std::to_string(channelRequests(run))
                + " readings; target max-interval <= 50 ms: " + verdict(met, applies));
        }
    }
}

// ---- 2. Arming to the first feed -------------------------------------------

// The baseline rows: the same daemon and board with no channels, whose
// start exchange alone lies between the arming request and the timer start.
const char* startupLabel(Channels channels)
{
    return channels == Channels::None ? "none (baseline)" : "38 silent";
}

void measureFirstFeed(const std::vector<int>& intervals, int runs)
{
    std::printf("\n2. Arming (\"~01S\") to the first feed, 6 static and 32 dynamic channels silent, EnvMonitor=off, "
                "%d run(s)\n",
        runs);
    std::printf("  interval  timeout  channels          run   first feed ms   over interval ms   readings before it   "
                "target\n");
    for (const int interval : intervals) {
        const int timeout = timeoutForInterval(interval);
        const bool applies = interval >= kTargetsFromIntervalMs;
        std::string baseline;
        for (const Channels channels : { Channels::None, Channels::Silent }) {
            const bool withChannels = channels != Channels::None;
            const char* label = startupLabel(channels);
            std::vector<double> firsts;
            for (int r = 1; r <= runs; ++r) {
                const Run run = runDaemon(
                    channels,
                    [&](const BoardSimulator& board) {
                        return boardConfig(board, interval, false, withChannels, withChannels);
                    },
                    [](const BoardSimulator& board) { return board.count("~01F") >= 1; }, Millis(0),
                    Millis(interval + 60000));
                const auto armed = timesOf(run, "~01S");
                const auto fed = timesOf(run, "~01F");
                if (!run.ok || armed.empty() || fed.empty()) {
                    std::printf("  %8d  %5d s  %-16s  %3d   incomplete run\n", interval, timeout, label, r);
                    report.record(false);
                    continue;
                }
                const double first = msBetween(armed.front(), fed.front());
                const size_t before = static_cast<size_t>(std::count_if(
                    run.requests.begin(), run.requests.end(), [&](const BoardSimulator::Request& request) {
                        return isChannelRequest(request.text) && request.at < fed.front();
                    }));
                std::printf("  %8d  %5d s  %-16s  %3d   %13.1f   %+16.1f   %18zu   %s\n", interval, timeout, label, r,
                    first, first - interval, before, verdict(first - interval <= kFirstFeedTargetMs, applies).c_str());
                firsts.push_back(first);
            }
            if (firsts.empty())
                continue;
            const double p50 = percentile(firsts, 0.5);
            const double max = percentile(firsts, 1.0);
            const bool met = max - interval <= kFirstFeedTargetMs;
            report.record(met || !applies);
            std::printf("  %8d  %5d s  %-16s  p50   %13.1f   %+16.1f\n", interval, timeout, label, p50, p50 - interval);
            std::printf("  %8d  %5d s  %-16s  max   %13.1f   %+16.1f                        %s\n", interval, timeout,
                label, max, max - interval, verdict(met, applies).c_str());
            const std::string figures
                = format("p50 %.1f ms, max %.1f ms (max-interval %+.1f ms)", p50, max, max - interval);
            if (!withChannels) {
                baseline = figures;
                continue;
            }
            report.note("first feed, 38 silent, interval " + std::to_string(interval) + " ms, timeout "
                + std::to_string(timeout) + " s: " + figures + " over " + std::to_string(firsts.size())
                + " runs (baseline " + baseline + "); target max-interval <= 50 ms: " + verdict(met, applies));
        }
    }
}

// ---- 3. Stop latency ------------------------------------------------------------

void measureStop(const std::vector<int>& intervals, int runs)
{
    std::printf(
        "\n3. SIGTERM during a start-up sweep of silent channels to the return of the daemon's run, %d run(s)\n", runs);
    std::printf("  the signal goes out a delay after the board saw channel request %zu (baseline, no channels: after "
                "the arming request);\n  the delays spread across one silent reading (about %d ms)\n",
        kStopAfterChannelRequests, kSilentReadingMs);
    std::printf("  interval  timeout  channels          run   delay ms   SIGTERM to exit ms   disarmed   target\n");
    for (const int interval : intervals) {
        const int timeout = timeoutForInterval(interval);
        std::string baseline;
        for (const Channels channels : { Channels::None, Channels::Silent }) {
            const bool withChannels = channels != Channels::None;
            const char* label = startupLabel(channels);
            std::vector<double> latencies;
            for (int r = 1; r <= runs; ++r) {
                const int delayMs = (r - 1) * kSilentReadingMs / runs;
                const Run run = runDaemon(
                    channels,
                    [&](const BoardSimulator& board) {
                        return boardConfig(board, interval, false, withChannels, withChannels);
                    },
                    [withChannels](const BoardSimulator& board) {
                        if (!withChannels)
                            return board.count("~01S") >= 1;
                        size_t seen = 0;
                        for (const std::string& request : board.requestTexts())
                            seen += isChannelRequest(request) ? 1 : 0;
                        return seen >= kStopAfterChannelRequests;
                    },
                    Millis(delayMs), Millis(interval + 60000));
                const auto disarmed = timesOf(run, "~01P");
                if (!run.ok || run.stopSentNs == 0) {
                    std::printf("  %8d  %5d s  %-16s  %3d   incomplete run\n", interval, timeout, label, r);
                    report.record(false);
                    continue;
                }
                const double latency = static_cast<double>(run.returnedNs - run.stopSentNs) / 1e6;
                std::printf("  %8d  %5d s  %-16s  %3d   %8d   %18.1f   %8s   %s\n", interval, timeout, label, r,
                    delayMs, latency, disarmed.empty() ? "NO" : "yes", verdict(latency <= kStopTargetMs).c_str());
                report.record(!disarmed.empty());
                latencies.push_back(latency);
            }
            if (latencies.empty())
                continue;
            const StopFigures stop = stopFigures(latencies, kStopTargetMs);
            report.record(stop.met);
            std::printf("  %8d  %5d s  %-16s  p50              %18.1f\n", interval, timeout, label, stop.p50Ms);
            std::printf("  %8d  %5d s  %-16s  max              %18.1f              %s\n", interval, timeout, label,
                stop.maxMs, verdict(stop.met).c_str());
            if (!withChannels) {
                baseline = stop.text;
                continue;
            }
            report.note("stop, 38 silent, interval " + std::to_string(interval) + " ms, timeout "
                + std::to_string(timeout) + " s: " + stop.text + " over " + std::to_string(latencies.size())
                + " runs (baseline " + baseline + "); target max <= 500 ms: " + verdict(stop.met));
        }
    }
}

bool parseIntervals(const std::string& text, std::vector<int>* intervals)
{
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        try {
            size_t used = 0;
            const int value = std::stoi(item, &used);
            if (used != item.size() || value < 1)
                return false;
            intervals->push_back(value);
        } catch (...) {
            return false;
        }
    }
    return !intervals->empty();
}

} // namespace

int main(int argc, char** argv)
{
    const Options options(argc, argv);
    const int feeds = options.number("feeds", 10);
    const int runs = options.number("runs", 5);
    const std::string parts = options.text("parts", "123");
    std::vector<int> intervals;
    if (!options.accepted(feeds >= 1 && runs >= 1 && parseIntervals(options.text("intervals", "1000,3000"), &intervals)
                && parts.find_first_not_of("123") == std::string::npos,
            "wdt-bench-feeding [--feeds 10] [--runs 5] [--intervals 1000,3000] [--parts 123]"))
        return 2;

    std::printf("Feeding with slow sensor channels: the daemon in-process against the board simulator, intervals");
    for (const int interval : intervals)
        std::printf(" %d", interval);
    std::printf(" ms, %d feed gaps and %d run(s) per figure\n", feeds, runs);
    std::printf("machine: %s\n", machineLine().c_str());
    std::printf("targets (intervals of %d ms and more): largest gap <= interval + %.0f ms, first feed <= interval + "
                "%.0f ms after arming, stop <= %.0f ms\n",
        kTargetsFromIntervalMs, kGapTargetMs, kFirstFeedTargetMs, kStopTargetMs);

    const int64_t started = steadyNs();
    if (parts.find('1') != std::string::npos)
        measureGaps(intervals, feeds);
    if (parts.find('2') != std::string::npos)
        measureFirstFeed(intervals, runs);
    if (parts.find('3') != std::string::npos)
        measureStop(intervals, runs);

    return report.finish(started);
}
