#pragma once

#include "core/test_marker.h"
#include "strategy/vendor_strategy.h"

#include <QString>

#include <cstdint>
#include <memory>

class EnvironmentMonitor;

// What the daemon does once the watchdog is found: arm it, feed it on every
// tick of the feed timer unless the test marker says otherwise, read the
// environment when a reading is due, and disarm it at the stop. The timers
// and the event loop belong to runDaemon(); this object only decides what
// one tick does, so every tick can be driven directly.
class Supervisor {
public:
    struct Watchdog {
        std::shared_ptr<IVendorStrategy> strategy;
        uint16_t port = 0;
        uint8_t timeoutSec = 0;
    };

    /// @p monitor may be null; @p serialBoard tells whether the watchdog is
    /// the serial board, the only one with an environment to read.
    Supervisor(
        Watchdog watchdog, EnvironmentMonitor* monitor, bool serialBoard, const QString& testFile, uid_t markerOwner);

    /// Arms the watchdog, then takes the board's start-up readings.
    void start();

    enum class Tick {
        Fed,
        // Test mode: the marker was honoured; the feed timer must stop.
        FeedingStopped,
    };
    /// One tick of the feed timer: the test marker, the feed, then a
    /// pending environment reading.
    Tick feedTick();

    /// One tick of the monitoring timer: a reading becomes due at the next
    /// feed tick, after its feed.
    void monitoringTick();

    /// The orderly stop: log the signal and disarm the watchdog. Nothing is
    /// fed after it.
    void stop(int signalNumber);

private:
    const Watchdog watchdog;
    EnvironmentMonitor* const monitor;
    const bool serialBoard;
    const QString testFile;
    TestMarker testMarker;
    bool stopped = false;
};
