#pragma once

#include <QObject>
#include <QSettings>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTimer;
class HealthProcess;

// What the machine is for, checked before every feed: the watchdog resets a
// machine whose control application died, whose heartbeat went stale or
// whose memory ran out, not only one whose kernel hangs. Everything comes
// from the [Health] section; without it nothing is checked.
struct HealthConfig {
    QString pidFile;
    QString heartbeatFile;
    int heartbeatMaxAgeS = 60;
    QString command;
    int commandIntervalMs = 10000;
    int commandTimeoutMs = 5000;
    std::optional<qint64> minAvailableMemoryMB;
    std::optional<double> maxLoad1;
    int failures = 3;
    QString repairCommand;
    int repairTimeoutMs = 60000;

    /// Whether any check is configured at all.
    bool any() const;
};

/// The [Health] section; nothing when the file has none. An unusable value
/// is ignored with one warning, like the other keys.
std::optional<HealthConfig> readHealthConfig(const QSettings& settings);

/// Where the cheap checks look; the real machine by default, files of a
/// test's own otherwise.
struct HealthSources {
    QString meminfo = QStringLiteral("/proc/meminfo");
    QString loadavg = QStringLiteral("/proc/loadavg");
    /// Seconds since the epoch, for the heartbeat's age.
    std::function<qint64()> now;
};

// Runs the checks and decides, once for this run, that feeding must stop.
// The file, memory and load checks run in the feed tick before the feed;
// the command runs asynchronously on the event loop, so however long it
// hangs it delays neither a feed nor a stop.
class HealthMonitor : public QObject {
    Q_OBJECT
public:
    explicit HealthMonitor(HealthConfig config, HealthSources sources = HealthSources());
    ~HealthMonitor() override;

    /// Starts the periodic command, if there is one.
    void start();
    /// Kills what still runs; nothing is started afterwards.
    void stop();

    /// The cheap checks, then the verdict: false once a check has failed
    /// for good, and from then on.
    bool mayFeed();

    /// The check that stopped the feeding and what it saw; empty while
    /// feeding goes on.
    QString failedCheck() const { return failure; }
    QString failureReason() const { return failureDetail; }

signals:
    /// The decision was taken: feeding stops for the rest of this run.
    void feedingMustStop();

private:
    struct Check {
        QString name;
        int consecutive = 0;
        // The repair command ran for it (once a run) or runs now.
        bool repaired = false;
        bool repairing = false;
    };
    enum : size_t { PidFile, Heartbeat, Command, Memory, Load, CheckCount };

    void evaluate(size_t check, const std::optional<QString>& problem);
    void fail(size_t check, const QString& problem);
    std::optional<QString> pidFileProblem() const;
    std::optional<QString> heartbeatProblem() const;
    std::optional<QString> memoryProblem() const;
    std::optional<QString> loadProblem() const;
    void runCommand();
    void commandEnded(bool timedOut, int exitCode, bool crashed);
    void runRepair(size_t check, const QString& problem);
    void repairEnded();
    void retire(std::unique_ptr<HealthProcess>& process);

    const HealthConfig config;
    const HealthSources sources;
    Check checks[CheckCount];
    std::unique_ptr<QTimer> commandTimer;
    std::unique_ptr<HealthProcess> command;
    std::unique_ptr<HealthProcess> repair;
    bool stopped = false;
    QString failure;
    QString failureDetail;
};
