#include "sim/watchdog_countdown.h"

void WatchdogCountdown::load(std::chrono::seconds timeout, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (timeout.count() <= 0) {
        current.armed = false;
        return;
    }
    if (current.armed && timeout == current.timeout)
        ++current.feeds;
    else
        ++current.armings;
    current.armed = true;
    current.timeout = timeout;
    current.previousLoad = current.lastLoad;
    current.lastLoad = now;
}

void WatchdogCountdown::disarm()
{
    std::lock_guard<std::mutex> lock(mutex);
    current.armed = false;
}

bool WatchdogCountdown::expire(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!current.armed || now - current.lastLoad < current.timeout)
        return false;
    current.armed = false;
    ++current.resets;
    return true;
}

WatchdogCountdown::State WatchdogCountdown::state() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return current;
}
