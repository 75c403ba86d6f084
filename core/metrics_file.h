#pragma once

#include "core/supervisor.h"
#include "monitor/environment_monitor.h"

#include <QSettings>
#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

// The state of the daemon as a file in the Prometheus text format, for the
// node exporter's textfile collector: a fleet's monitoring then sees what
// each machine armed, whether it is fed and what its board reads, without a
// port of the daemon's own.
//
// The file is replaced as a whole (a temporary file in the same directory,
// then a rename), so the exporter never reads half of it. It is written
// after arming, after each sweep of readings and at every change of state;
// between them a feed writes it at most once every kMinPeriodMs, so a short
// feed interval does not turn into a disk write per feed. A write that
// fails is reported once per streak of failures and never touches a feed.

/// What the metrics say about the watchdog, fixed at start-up.
struct MetricsDevice {
    QString vendor;
    QString model;
    QString code;
    // The configuration port of a Super I/O chip ("0x2E"), or the serial
    // device of the board.
    QString device;
    int intervalMs = 0;
    uint8_t timeoutSec = 0;
};

class MetricsFile : public SupervisorObserver {
public:
    /// Milliseconds on a clock that never goes back, for the write cadence.
    using Clock = std::function<qint64()>;
    /// Seconds since the epoch, for the times the file shows.
    using WallClock = std::function<qint64()>;

    static constexpr qint64 kMinPeriodMs = 15000;

    /// Writes to @p path; @p monitor (may be null, not owned) gives the
    /// channels.
    MetricsFile(QString path, MetricsDevice device, const EnvironmentMonitor* monitor,
        Clock clock = Supervisor::steadyClock(), WallClock wallClock = systemWallClock());

    static WallClock systemWallClock();

    void armed() override;
    void fed() override;
    void sweepEnded() override;
    void feedingStopped() override;
    void feedGateClosed() override;
    void stopped() override;

    /// Health checks gate the feeding: the file says whether one failed.
    void setHealthChecked(bool on) { healthChecked = on; }
    /// How the run before this one ended, in the state file's word
    /// ("stopped", "test-mode", "check-failed", "never-stopped"); empty
    /// when unknown, and then the file says nothing of it.
    void setPreviousRun(QString ending) { previousRun = std::move(ending); }

    /// The file's contents for the state as it is now.
    QString text() const;
    /// Replaces the file with text(); false (and one warning per streak of
    /// failures) when it could not.
    bool write();

private:
    const QString path;
    const MetricsDevice device;
    const EnvironmentMonitor* const monitor;
    const Clock clock;
    const WallClock wallClock;
    bool isArmed = false;
    bool testMode = false;
    bool healthChecked = false;
    bool checkFailed = false;
    QString previousRun;
    quint64 feeds = 0;
    qint64 startTime = 0;
    qint64 lastFeedTime = 0;
    qint64 lastWriteMs = 0;
    bool failing = false;
};

/// "Global/MetricsFile": the file to write, or an empty text when the key is
/// absent or empty (no metrics). A path that is not absolute is ignored with
/// a warning: the daemon's working directory is no place an exporter looks.
QString readMetricsFilePath(const QSettings& settings);

/// The observer for the running daemon, or null when no file is configured.
std::unique_ptr<MetricsFile> makeMetricsFile(
    const QSettings& settings, MetricsDevice device, const EnvironmentMonitor* monitor);

/// @p text as a label value of the text format: backslash, double quote and
/// line feed escaped.
QString metricsLabelValue(const QString& text);
