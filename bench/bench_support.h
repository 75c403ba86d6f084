#pragma once

// Shared pieces of the benchmark programs: a simulated machine that the real
// daemon runs on in-process, a bare timer loop to compare it with, clocks,
// memory figures and statistics. Nothing here touches a real port, a serial
// device or a system path: the path globals point into a temporary directory
// and the platform is replaced for every run.

#include "core/daemon.h"
#include "sim/in_process_daemon.h"
#include "sim/superio_simulator.h"

#include <QString>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// ---- Simulated Super I/O machine ------------------------------------------

// One chip per vendor, each as a real board would carry it at 0x2E. ITE and
// Nuvoton run their built-in sequences; the Fintek driver has none and runs
// the register lists of the example configuration, which it logs.
enum class Chip { Fintek, Ite, Nuvoton };

bool parseChip(const std::string& text, Chip* chip);
std::string chipLabel(Chip chip);
std::unique_ptr<SimulatedSuperIo> makeChip(Chip chip);
// The configuration file for a run: debug off, the chip's port only.
QString chipConfig(Chip chip, int intervalMs);
// Configuration sessions the chip sees before the first feed: the probe
// that finds it and the start.
constexpr int kSessionsBeforeFeeds = 2;

// The simulated bus with one chip on it (or none) and no record of the
// accesses, so that a long run keeps a constant footprint. Two hooks mark the
// daemon's sequences (probe, start, feeds, stop), called on the daemon's
// thread inside its call: onSequenceStart at the first write after a closed
// session (or the first ever), with the number of sessions closed before it;
// onSessionClosed after the write that closed a session, with the number
// closed so far.
class BenchBus : public SuperIoBus {
public:
    explicit BenchBus(std::unique_ptr<SimulatedSuperIo> chip = nullptr);

    std::function<void(int sessionsClosedBefore)> onSequenceStart;
    std::function<void(int sessionsClosed)> onSessionClosed;

protected:
    void accessed(const PortAccess& access) override;

private:
    SimulatedSuperIo* chip = nullptr;
    bool betweenSequences = true;
    int sessionsSeen = 0;
};

// Times the daemon's sequences on @p bus: *@p armedNs when the start's
// session closes, and the first @p feeds feeds at their first write, pushed
// onto @p feedNs (reserved here); @p onFeed then runs with the feed's number.
void timeFeeds(
    BenchBus& bus, int feeds, int64_t* armedNs, std::vector<int64_t>* feedNs, std::function<void(int feed)> onFeed);

// Runs the daemon in-process on @p bus, its standard output sent to
// /dev/null (its lines still reach the log file); the exit code.
int runQuietly(InProcessDaemon& daemon, const DaemonParts& parts, FakePlatform& bus);

// The daemon's event loop without the daemon: the application object, the
// same signal pipe, and a precise timer whose slot only calls onTick with
// the tick number. A SIGTERM ends it, as it ends the daemon. onStart runs
// right before the timer starts.
void runBareTimerLoop(
    int intervalMs, const std::function<void(int tick)>& onTick, const std::function<void()>& onStart = {});

// The class of the event dispatcher the last bare loop ran on: Qt picks the
// GLib one unless QT_NO_GLIB is set, and the daemon gets the same.
std::string eventDispatcherName();

/// Asks the running loop (daemon or bare) to stop, the way a service
/// manager does.
void requestStop();

// ---- Clocks and memory ------------------------------------------------------

int64_t steadyNs();
// CPU time of the whole process, user and system.
int64_t processCpuNs();
// Resident set size from /proc/self/status, in KiB.
long residentKiB();
// Bytes the allocator has handed out and not got back.
size_t heapInUseBytes();

// ---- Callgrind ----------------------------------------------------------------

// Under callgrind started with --collect-atstart=no, the instructions between
// windowStart() and windowEnd() land in a dump of their own named after the
// window. Without valgrind both do nothing.
bool underValgrind();
void windowStart();
void windowEnd(const char* name);

// ---- Load -----------------------------------------------------------------

// Busy processes, one per core to load, running until the object goes away.
class BusyLoad {
public:
    explicit BusyLoad(int processes);
    ~BusyLoad();
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;

private:
    std::vector<pid_t> children;
};

// Runs the calling process (threads created later included) with the
// real-time round-robin priority the service unit gives the daemon; prints
// why not and returns false when that is not allowed here.
bool useRoundRobin(int priority);

// ---- Labels -----------------------------------------------------------------

// The label that @p labels gives @p value, or "" where it gives none.
template <typename Enum> const char* labelOf(Enum value, std::initializer_list<std::pair<Enum, const char*>> labels)
{
    for (const auto& [key, label] : labels) {
        if (key == value)
            return label;
    }
    return "";
}

// ---- Statistics ---------------------------------------------------------------

// Nearest-rank percentile, p in [0, 1].
double percentile(std::vector<double> values, double p);
double median(std::vector<double> values);

// A figure for a report line: printf's @p pattern over up to four numbers.
std::string format(const char* pattern, double a, double b = 0, double c = 0, double d = 0);

// ---- Command line -------------------------------------------------------------

// "--name value" options; everything else is an error the caller reports.
// Made first in every benchmark's main: it also makes standard output line
// buffered, so that figures show up as they are measured, also through a
// pipe.
class Options {
public:
    Options(int argc, char** argv);
    std::string text(const std::string& name, const std::string& fallback) const;
    int number(const std::string& name, int fallback) const;
    // True when every option was read and @p valid holds; otherwise prints
    // the problem and @p usage (the program's usage line) on standard error.
    bool accepted(bool valid, const char* usage) const;

private:
    std::vector<std::pair<std::string, std::string>> values;
    mutable std::string error;
};

// The machine in one line: processor, cores, kernel, load average.
std::string machineLine();

// ---- Targets ------------------------------------------------------------------

// "met", "MISSED", or "no target" where the target does not apply.
std::string verdict(bool met, bool applies = true);

// p50 and max of the stop latencies of a series of runs, and whether the
// max meets its target.
struct StopFigures {
    double p50Ms;
    double maxMs;
    bool met;
    std::string text; // "p50 %.1f ms, max %.1f ms"
};
StopFigures stopFigures(const std::vector<double>& latenciesMs, double targetMs);

// The verdicts of a benchmark's targets and one summary line per figure.
class TargetReport {
public:
    // Counts a target that applies and was missed.
    void record(bool met);
    void note(const std::string& line) { lines.push_back(line); }
    // Prints the summary, the machine and the overall verdict; the exit
    // code of the benchmark.
    int finish(int64_t startedNs) const;

private:
    std::vector<std::string> lines;
    bool allMet = true;
};

} // namespace bench
