// Latency of one DCON exchange of the serial board's watchdog strategy, the
// feed ("~01WF" out, "!01" back), against the board simulator on a
// pseudo-terminal, beside the quiet time that ends every reply (20 ms): the
// exchange cannot be shorter than that floor, and whatever lies above it is
// the cost of opening the device, writing, waiting and closing.
//
// Two boards: one that answers at once in one piece, and one that paces its
// reply like a 9600-baud line (one byte per millisecond), whose last byte
// comes about 3 ms after the first. With --rr P the process runs with the
// real-time round-robin priority P, as the service unit runs the daemon.
//
// Every exchange opens the device, and Qt's serial port takes a lock file in
// /run/lock (or another lock directory) for it; where that directory is not
// a memory file system, creating and removing the file costs whatever the
// disk costs at the moment, which the "open and close only" row shows.

#include "bench/bench_support.h"

#include "serialctl/tarvelo_vendor.h"
#include "sim/board_simulator.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSerialPort>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using namespace bench;
using Reply = BoardSimulator::Reply;

namespace {

constexpr double kQuietFloorMs = 20.0;

bool measure(const char* label, const Reply& reply, int exchanges, int warmup)
{
    BoardSimulator board;
    if (!board.ok()) {
        std::printf("  %-34s no pseudo-terminal available\n", label);
        return false;
    }
    board.fallback(reply);
    TarveloVendor vendor(QString::fromStdString(board.portName()), 9600, 1);
    vendor.setDconCommands(QString(), QString(), QStringLiteral("~%1wf"));

    std::vector<double> ms;
    ms.reserve(exchanges);
    for (int i = 0; i < warmup + exchanges; ++i) {
        const int64_t start = steadyNs();
        vendor.wdt_feed(0, 7);
        const int64_t took = steadyNs() - start;
        if (i >= warmup)
            ms.push_back(static_cast<double>(took) / 1e6);
    }
    board.waitUntilIdle(std::chrono::milliseconds(1000));
    const size_t answered = board.count("~01WF");

    std::printf("  %-34s %7.2f  %7.2f  %7.2f  %7.2f   %+7.2f   %s\n", label, percentile(ms, 0.0), percentile(ms, 0.5),
        percentile(ms, 0.99), percentile(ms, 1.0), percentile(ms, 0.5) - kQuietFloorMs,
        answered == static_cast<size_t>(warmup + exchanges) ? "all requests seen" : "REQUESTS MISSING");
    return answered == static_cast<size_t>(warmup + exchanges);
}

// The device handling alone: open, set the line speed, close, as every
// exchange does around its request and reply.
void measureOpenClose(int rounds)
{
    BoardSimulator board;
    if (!board.ok())
        return;
    const QString name = QString::fromStdString(board.portName());
    std::vector<double> ms;
    ms.reserve(rounds);
    for (int i = 0; i < rounds; ++i) {
        const int64_t start = steadyNs();
        QSerialPort port;
        port.setPortName(name);
        port.setBaudRate(9600, QSerialPort::AllDirections);
        if (port.open(QIODevice::ReadWrite))
            port.close();
        ms.push_back(static_cast<double>(steadyNs() - start) / 1e6);
    }
    std::printf("  %-34s %7.2f  %7.2f  %7.2f  %7.2f\n", "open and close only (no exchange)", percentile(ms, 0.0),
        percentile(ms, 0.5), percentile(ms, 0.99), percentile(ms, 1.0));
}

} // namespace

int main(int argc, char** argv)
{
    const Options options(argc, argv);
    const int exchanges = options.number("exchanges", 300);
    const int warmup = options.number("warmup", 10);
    const int rrPriority = options.number("rr", 0);
    if (!options.accepted(exchanges >= 1, "wdt-bench-dcon [--exchanges 300] [--warmup 10] [--rr PRIORITY]"))
        return 2;
    // The board simulator's threads, created later, get the same priority:
    // a real board does not wait for the host's scheduler either.
    if (rrPriority > 0 && !useRoundRobin(rrPriority))
        return 3;

    // The serial port's notifiers want an application object, as in the daemon.
    int appArgc = 1;
    char appName[] = "wdt-bench-dcon";
    char* appArgv[] = { appName, nullptr };
    QCoreApplication app(appArgc, appArgv);
    // The strategy's own debug lines are not figures.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    std::printf("DCON feed exchange against the board simulator: %d exchanges after %d warm-up, back to back, %s\n",
        exchanges, warmup,
        rrPriority > 0 ? ("SCHED_RR priority " + std::to_string(rrPriority)).c_str() : "normal scheduling");
    std::printf("machine: %s\n", machineLine().c_str());
    std::printf("  board                              min ms   p50 ms   p99 ms   max ms   p50-floor\n");
    std::printf("  quiet floor                        %7.2f\n", kQuietFloorMs);
    measureOpenClose(exchanges);
    bool ok = measure("answers at once", Reply::line("!01"), exchanges, warmup);
    ok = measure("answers at 1 byte/ms (9600 baud)",
             Reply::split({ "!", "0", "1", "\r" }, std::chrono::milliseconds(1)), exchanges, warmup)
        && ok;
    std::printf("  target: p50 <= %.0f ms (quiet floor + 5 ms)\n", kQuietFloorMs + 5);
    return ok ? 0 : 1;
}
