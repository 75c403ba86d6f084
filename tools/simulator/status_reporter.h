#pragma once

#include "sim/watchdog_countdown.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Shows the simulated watchdog on standard output, from a thread of its
// own, on lines starting with "[SIM]": arming, feeds, disarming, once a
// second its countdown, and the reset when the countdown runs out. It also
// keeps the time: at the end of the run, or after a reset, it stops the
// daemon with SIGINT, as Ctrl-C would.
class StatusReporter {
public:
    struct Settings {
        // 0: no end.
        int seconds = 0;
        // Negative: no marker.
        int testAfter = -1;
        QString testFile;
        // Called on the reporter's thread once a second, for housekeeping.
        std::function<void()> everySecond;
        // Called on the reporter's thread at each look; a text it returns
        // is shown on a line of its own.
        std::function<std::string()> everyLook;
        // Called on the reporter's thread when the watchdog resets the
        // machine while the daemon still runs; a text it returns is shown.
        std::function<std::string()> atReset;
    };

    StatusReporter(WatchdogCountdown& countdown, Settings settings);
    ~StatusReporter();
    StatusReporter(const StatusReporter&) = delete;
    StatusReporter& operator=(const StatusReporter&) = delete;

    /// Stops the thread, shows what changed since its last look and the
    /// watchdog as the daemon left it.
    void finish(int exitCode);

    /// One "[SIM]" line, written whole so that it cannot mix with a line of
    /// the daemon's.
    static void say(const std::string& text);

private:
    using Clock = WatchdogCountdown::Clock;

    void run();
    void look(Clock::time_point now);
    // What the everyLook hook has to say.
    void lookElsewhere(Clock::time_point now);
    void report(Clock::time_point now, const std::string& text);
    void stopDaemon(Clock::time_point now, const std::string& why);
    void createMarker(Clock::time_point now);
    void checkMarkerOwner(Clock::time_point now);

    WatchdogCountdown& countdown;
    const Settings settings;
    const Clock::time_point started = Clock::now();

    WatchdogCountdown::State seen;
    Clock::time_point nextStatus;
    Clock::time_point nextHousekeeping;
    bool stopWanted = false;
    bool stopSent = false;
    bool markerCreated = false;
    bool ownerHinted = false;
    bool daemonExited = false;

    std::mutex mutex;
    std::condition_variable wake;
    bool finishing = false;
    std::thread thread;
};
