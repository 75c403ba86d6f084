#include "tools/simulator/status_reporter.h"

#include "sim/in_process_daemon.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr std::chrono::milliseconds kLookEvery { 50 };
constexpr std::chrono::seconds kStatusEvery { 1 };

std::string seconds(std::chrono::duration<double> duration)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", duration.count());
    return text;
}

std::string whole(std::chrono::seconds duration)
{
    return std::to_string(duration.count()) + " s";
}

// The daemon sets its own handler once it has armed the watchdog; before
// that SIGINT would kill the process outright, so the stop waits for it.
bool daemonTakesSignals()
{
    struct sigaction current = {};
    return ::sigaction(SIGINT, nullptr, &current) == 0 && current.sa_handler != SIG_DFL
        && current.sa_handler != SIG_IGN;
}

} // namespace

StatusReporter::StatusReporter(WatchdogCountdown& countdown, Settings settings)
    : countdown(countdown)
    , settings(std::move(settings))
    , seen(countdown.state())
    , nextStatus(started + kStatusEvery)
    , nextHousekeeping(started + kStatusEvery)
{
    thread = std::thread([this] { run(); });
}

StatusReporter::~StatusReporter()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        finishing = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

void StatusReporter::say(const std::string& text)
{
    const std::string line = "[SIM] " + text + '\n';
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

void StatusReporter::report(Clock::time_point now, const std::string& text)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%6.1f s  ", std::chrono::duration<double>(now - started).count());
    say(stamp + text);
    nextStatus = now + kStatusEvery;
}

void StatusReporter::run()
{
    // SIGINT and SIGTERM belong to the daemon's thread.
    blockStopSignals();

    std::unique_lock<std::mutex> lock(mutex);
    while (!wake.wait_for(lock, kLookEvery, [this] { return finishing; })) {
        lock.unlock();
        const Clock::time_point now = Clock::now();
        const auto elapsed = now - started;
        if (settings.testAfter >= 0 && !markerCreated && elapsed >= std::chrono::seconds(settings.testAfter))
            createMarker(now);
        checkMarkerOwner(now);
        lookElsewhere(now);
        look(now);
        if (now >= nextStatus) {
            const WatchdogCountdown::State state = countdown.state();
            if (state.armed) {
                const auto sinceFeed = now - state.lastLoad;
                report(now,
                    "watchdog armed, timeout " + whole(state.timeout) + ", last feed " + seconds(sinceFeed)
                        + " ago, reset in " + seconds(state.timeout - sinceFeed));
            } else {
                report(now, "watchdog not armed");
            }
        }
        if (settings.seconds > 0 && !stopWanted && elapsed >= std::chrono::seconds(settings.seconds)) {
            stopWanted = true;
            report(
                now, std::to_string(settings.seconds) + " s are up: stopping the daemon with SIGINT, as Ctrl-C does");
        }
        if (stopWanted && !stopSent && daemonTakesSignals()) {
            stopSent = true;
            ::kill(::getpid(), SIGINT);
        }
        if (now >= nextHousekeeping) {
            nextHousekeeping = now + kStatusEvery;
            if (settings.everySecond)
                settings.everySecond();
        }
        lock.lock();
    }
}

void StatusReporter::look(Clock::time_point now)
{
    if (countdown.expire(now)) {
        const WatchdogCountdown::State state = countdown.state();
        report(now, "WATCHDOG RESET: no feed for " + whole(state.timeout) + ", a real machine restarts here");
        seen = state;
        if (!daemonExited && settings.atReset) {
            const std::string kept = settings.atReset();
            if (!kept.empty())
                report(now, kept);
        }
        if (!stopWanted) {
            stopWanted = true;
            report(now, "the simulation ends with the reset: stopping the daemon with SIGINT");
        }
        return;
    }
    const WatchdogCountdown::State state = countdown.state();
    if (state.armings > seen.armings) {
        // Armed already: a load with another timeout.
        report(now,
            (seen.armed && state.armed ? "watchdog timeout set to " : "watchdog armed: timeout ")
                + whole(state.timeout));
    } else if (state.feeds > seen.feeds) {
        const unsigned long feeds = state.feeds - seen.feeds;
        report(now,
            "watchdog fed" + (feeds > 1 ? " " + std::to_string(feeds) + " times" : std::string()) + ", "
                + seconds(state.lastLoad - state.previousLoad) + " after the feed before; timeout "
                + whole(state.timeout));
    }
    if (!state.armed && (seen.armed || state.armings > seen.armings) && state.resets == seen.resets)
        report(now, "watchdog disarmed");
    seen = state;
}

void StatusReporter::lookElsewhere(Clock::time_point now)
{
    if (!settings.everyLook)
        return;
    const std::string text = settings.everyLook();
    if (!text.empty())
        report(now, text);
}

void StatusReporter::createMarker(Clock::time_point now)
{
    markerCreated = true;
    QFile marker(settings.testFile);
    if (!marker.open(QIODevice::WriteOnly)) {
        report(now, "could not create the test marker " + settings.testFile.toStdString());
        return;
    }
    marker.close();
    report(now, "test marker " + settings.testFile.toStdString() + " created");
}

// The daemon ignores a marker that root does not own, with a warning of its
// own; on a simulator run by another user that is the usual surprise.
void StatusReporter::checkMarkerOwner(Clock::time_point now)
{
    struct stat info;
    if (ownerHinted || ::lstat(QFile::encodeName(settings.testFile).constData(), &info) != 0 || info.st_uid == 0)
        return;
    ownerHinted = true;
    const std::string path = settings.testFile.toStdString();
    report(now,
        "the test marker is not owned by root, so the daemon ignores it as it would on a real machine: run the "
        "simulator with sudo, or let root create the marker (rm "
            + path + "; sudo touch " + path + ")");
}

void StatusReporter::finish(int exitCode)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        finishing = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();

    const Clock::time_point now = Clock::now();
    daemonExited = true;
    lookElsewhere(now);
    look(now);
    // A marker of ours that the daemon ignored would count at the next run
    // as root.
    if (markerCreated)
        QFile::remove(settings.testFile);
    report(now, "the daemon exited with code " + std::to_string(exitCode));
    const WatchdogCountdown::State state = countdown.state();
    if (state.armed) {
        const auto sinceFeed = now - state.lastLoad;
        report(now,
            "the watchdog is still armed: a real machine resets in " + seconds(state.timeout - sinceFeed) + " (timeout "
                + whole(state.timeout) + ")");
    }
}
