#pragma once

#include "core/test_marker.h"
#include "monitor/environment_monitor.h"
#include "strategy/vendor_strategy.h"

#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

// What the daemon does once the watchdog is found: arm it, feed it on every
// tick of the feed timer unless the test marker says otherwise, read the
// environment when a reading is due, and disarm it at the stop. The timers
// and the event loop belong to runDaemon(); this object only decides what
// one tick or one reading does, so every step can be driven directly.
//
// The feed comes first. A sensor reading blocks the daemon's only thread for
// up to a few hundred milliseconds, and a sweep over a board's channels for
// many seconds, so readings are taken one at a time, each only when it can
// end before the next feed is due; what does not fit waits for the next
// feed, in the same order.
// What the supervisor tells those who report on it (the service manager, a
// metrics file): each call comes on the daemon's thread, right after the
// step it names, and must not block.
class SupervisorObserver {
public:
    virtual ~SupervisorObserver() = default;
    /// The watchdog was armed.
    virtual void armed() { }
    /// The start-up readings are done (at once when there are none).
    virtual void startupEnded() { }
    /// One feed went out.
    virtual void fed() { }
    /// The last queued reading of a sweep was taken.
    virtual void sweepEnded() { }
    /// Test mode stopped the feeding for good.
    virtual void feedingStopped() { }
    /// The feed gate (a failed health check) stopped the feeding for good.
    virtual void feedGateClosed() { }
    /// The orderly stop: the watchdog was disarmed.
    virtual void stopped() { }
};

class Supervisor {
public:
    struct Watchdog {
        std::shared_ptr<IVendorStrategy> strategy;
        uint16_t port = 0;
        uint8_t timeoutSec = 0;
        // The period of the feed timer.
        int intervalMs = 0;
    };

    /// Milliseconds on a clock that never goes back.
    using Clock = std::function<qint64()>;
    static Clock steadyClock();

    /// What a reading must leave free before the next feed is due, beyond
    /// its own worst case: the feed timer's own lateness and the log lines.
    static constexpr int kReadingMarginMs = 50;

    /// @p monitor may be null; @p serialBoard tells whether the watchdog is
    /// the serial board, the only one with an environment to read.
    Supervisor(Watchdog watchdog, EnvironmentMonitor* monitor, bool serialBoard, const QString& testFile,
        uid_t markerOwner, Clock clock = steadyClock());

    /// @p observer is told of every step from now on; not owned, and must
    /// outlive the supervisor.
    void addObserver(SupervisorObserver* observer) { observers.push_back(observer); }

    /// Asked before every feed, after the test marker: false stops the
    /// feeding for good, exactly as test mode does.
    void setFeedGate(std::function<bool()> gate) { feedGate = std::move(gate); }

    /// Stops the feeding for good now, as a gate that says false does at
    /// the next tick; for a gate whose verdict comes between ticks.
    void closeFeedGate();
    enum class FeedingStop { None, TestMode, Gate };
    /// Why the feeding stopped, if it did.
    FeedingStop feedingStop() const { return stopCause; }

    /// Arms the watchdog and queues the board's start-up readings. The feed
    /// timer is to start right after: the first feed is due one interval
    /// from now. The line that ends the start-up is logged once the start-up
    /// readings are done, at once when there are none.
    void start();

    enum class Tick {
        Fed,
        // Test mode: the marker was honoured; the feed timer must stop.
        FeedingStopped,
    };
    /// One tick of the feed timer: the test marker, the feed, and a pending
    /// monitoring request turned into queued readings.
    Tick feedTick();

    /// One tick of the monitoring timer: a reading of every dynamic channel
    /// becomes due at the next feed tick, after its feed.
    void monitoringTick();

    /// Takes the next queued reading if it can end before the next feed is
    /// due. Where the interval is too short for that, one reading per feed
    /// is taken right after it anyway, so readings still happen. True when
    /// another reading may follow at once; false when the rest, if any,
    /// waits for the next feed.
    bool readNext();
    bool readingPending() const { return !pending.empty(); }

    /// The orderly stop: log the signal and disarm the watchdog. Nothing is
    /// fed or read after it.
    void stop(int signalNumber);

private:
    void queue(EnvironmentMonitor::Table table);
    void endStartupWhenRead();
    Tick stopFeeding(FeedingStop cause);
    template <typename Step> void tell(Step step)
    {
        for (SupervisorObserver* observer : observers)
            (observer->*step)();
    }

    const Watchdog watchdog;
    EnvironmentMonitor* const monitor;
    const bool serialBoard;
    const QString testFile;
    TestMarker testMarker;
    const Clock clock;
    std::deque<std::pair<EnvironmentMonitor::Table, int>> pending;
    qint64 nextFeedDueMs = 0;
    bool readSinceFeed = false;
    bool startupEnded = false;
    bool stopped = false;
    std::vector<SupervisorObserver*> observers;
    std::function<bool()> feedGate;
    FeedingStop stopCause = FeedingStop::None;
};
