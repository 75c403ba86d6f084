#pragma once

#include <chrono>
#include <mutex>

// The countdown of a simulated watchdog. A hardware model loads it with a
// timeout (arming it, or feeding it when it already counts) and disarms it;
// it runs out when a whole timeout passes without a load. The models drive
// it from the thread that talks to them, an observer reads it from another.
class WatchdogCountdown {
public:
    using Clock = std::chrono::steady_clock;

    struct State {
        bool armed = false;
        std::chrono::seconds timeout { 0 };
        // Armings and feeds since the start: an arming, or a load with
        // another timeout, counts as arming; a load with the same timeout
        // while it counts is a feed.
        unsigned long armings = 0;
        unsigned long feeds = 0;
        // Countdowns that ran out.
        unsigned long resets = 0;
        // The last load, and the one before it.
        Clock::time_point lastLoad;
        Clock::time_point previousLoad;
    };

    /// Restarts the countdown from @p timeout; a timeout of 0 disarms.
    void load(std::chrono::seconds timeout, Clock::time_point now = Clock::now());
    void disarm();
    /// True once for each countdown that has run out by @p now; the watchdog
    /// is then disarmed, as the reset it caused leaves it.
    bool expire(Clock::time_point now = Clock::now());
    State state() const;

private:
    mutable std::mutex mutex;
    State current;
};
