#include "core/metrics_file.h"

#include "core/atomic_file.h"
#include "core/file_checks.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>

#include <cmath>
#include <cstring>
#include <utility>

namespace {

// A metric's HELP and TYPE lines and its samples, in the text format.
class Exposition {
public:
    void family(const char* name, const char* type, const char* help)
    {
        out += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                   .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
    }
    void sample(const char* name, const QString& value, const QString& labels = QString())
    {
        out += QLatin1String(name);
        if (!labels.isEmpty())
            out += QLatin1Char('{') + labels + QLatin1Char('}');
        out += QLatin1Char(' ') + value + QLatin1Char('\n');
    }
    QString text() const { return out; }

private:
    QString out;
};

QString label(const char* name, const QString& value)
{
    return QLatin1String(name) + QStringLiteral("=\"") + metricsLabelValue(value) + QLatin1Char('"');
}

// The board's readings are single precision: a reading of 23.1 is shown as
// 23.1, not as the 23.100000381469727 its widening to double spells.
QString sampleValue(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("+Inf") : QStringLiteral("-Inf");
    const float single = static_cast<float>(value);
    if (static_cast<double>(single) == value) {
        for (int digits = 1; digits <= 9; ++digits) {
            const QString text = QString::number(value, 'g', digits);
            if (text.toFloat() == single)
                return text;
        }
    }
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

QString flag(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

QString metricsLabelValue(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            escaped += QStringLiteral("\\\\");
        else if (c == QLatin1Char('"'))
            escaped += QStringLiteral("\\\"");
        else if (c == QLatin1Char('\n'))
            escaped += QStringLiteral("\\n");
        else
            escaped += c;
    }
    return escaped;
}

MetricsFile::MetricsFile(
    QString path, MetricsDevice device, const EnvironmentMonitor* monitor, Clock clock, WallClock wallClock)
    : path(std::move(path))
    , device(std::move(device))
    , monitor(monitor)
    , clock(std::move(clock))
    , wallClock(std::move(wallClock))
{
}

MetricsFile::WallClock MetricsFile::systemWallClock()
{
    return [] { return QDateTime::currentSecsSinceEpoch(); };
}

void MetricsFile::armed()
{
    isArmed = true;
    startTime = wallClock();
    write();
}

void MetricsFile::fed()
{
    ++feeds;
    lastFeedTime = wallClock();
    if (clock() - lastWriteMs >= kMinPeriodMs)
        write();
}

void MetricsFile::sweepEnded()
{
    write();
}

void MetricsFile::feedingStopped()
{
    testMode = true;
    write();
}

void MetricsFile::feedGateClosed()
{
    checkFailed = true;
    write();
}

void MetricsFile::stopped()
{
    isArmed = false;
    write();
}

QString MetricsFile::text() const
{
    Exposition e;
    e.family("wdt_device_info", "gauge", "The watchdog the daemon drives; always 1.");
    e.sample("wdt_device_info", QStringLiteral("1"),
        QStringList { label("vendor", device.vendor), label("model", device.model), label("code", device.code),
            label("device", device.device) }
            .join(QLatin1Char(',')));
    e.family("wdt_armed", "gauge", "1 while the watchdog is armed; 0 once the orderly stop disarmed it.");
    e.sample("wdt_armed", flag(isArmed));
    e.family(
        "wdt_test_mode", "gauge", "1 once the test marker stopped the feeding: the watchdog is to reset the machine.");
    e.sample("wdt_test_mode", flag(testMode));
    e.family("wdt_interval_seconds", "gauge", "The feed period.");
    e.sample("wdt_interval_seconds", sampleValue(device.intervalMs / 1000.0));
    e.family("wdt_timeout_seconds", "gauge", "The watchdog timeout: unfed this long, it resets the machine.");
    e.sample("wdt_timeout_seconds", QString::number(device.timeoutSec));
    e.family("wdt_feeds_total", "counter", "Feeds since the daemon started.");
    e.sample("wdt_feeds_total", QString::number(feeds));
    // No sample before the first feed: a time of 0 would read as a feed
    // missed for decades.
    e.family("wdt_last_feed_timestamp_seconds", "gauge", "When the last feed went out, in seconds since the epoch.");
    if (feeds > 0)
        e.sample("wdt_last_feed_timestamp_seconds", QString::number(lastFeedTime));
    e.family("wdt_start_time_seconds", "gauge", "When the daemon armed the watchdog, in seconds since the epoch.");
    e.sample("wdt_start_time_seconds", QString::number(startTime));
    if (healthChecked) {
        e.family("wdt_health_check_failed", "gauge",
            "1 once a failed health check stopped the feeding: the watchdog is to reset the machine.");
        e.sample("wdt_health_check_failed", flag(checkFailed));
    }
    if (!previousRun.isEmpty()) {
        e.family("wdt_previous_run_ending", "gauge",
            "How the run before this one ended, as the state file kept it; always 1, the label says how.");
        e.sample("wdt_previous_run_ending", QStringLiteral("1"), label("ending", previousRun));
    }

    const std::vector<EnvironmentMonitor::ChannelState> channels
        = monitor ? monitor->channelStates() : std::vector<EnvironmentMonitor::ChannelState>();
    const auto channelLabels = [](const EnvironmentMonitor::ChannelState& channel) {
        const QString table
            = channel.table == EnvironmentMonitor::Table::Static ? QStringLiteral("static") : QStringLiteral("dynamic");
        return label("table", table) + QLatin1Char(',') + label("channel", channel.name);
    };
    if (!channels.empty()) {
        e.family("wdt_channel_value", "gauge", "The last value read from an environment channel of the board.");
        for (const auto& channel : channels) {
            if (channel.read)
                e.sample("wdt_channel_value", sampleValue(channel.value), channelLabels(channel));
        }
        e.family("wdt_channel_failures_total", "counter", "Readings of an environment channel that gave no value.");
        for (const auto& channel : channels)
            e.sample("wdt_channel_failures_total", QString::number(channel.failures), channelLabels(channel));
    }
    return e.text();
}

bool MetricsFile::write()
{
    lastWriteMs = clock();
    // Readable by all: the exporter runs as a user of its own. Not synced:
    // the file is rewritten within seconds, and a sync can hold the daemon's
    // only thread for as long as the disk is busy.
    const int error = replaceFileAtomically(path, text().toUtf8(), 0644, false);
    if (error == 0) {
        failing = false;
        return true;
    }
    if (!failing)
        qWarning().nospace() << "Файл метрик " << path << " не записан (" << ::strerror(error)
                             << ") - кормление продолжается.";
    failing = true;
    return false;
}

QString readMetricsFilePath(const QSettings& settings)
{
    const QString key = QStringLiteral("Global/MetricsFile");
    const QString path = readFilePathKey(settings, key);
    // Written all the same, for a collector of another kind; but the node
    // exporter would pass over it without a word.
    if (!path.isEmpty() && !path.endsWith(QLatin1String(".prom")))
        qWarning().nospace() << key << " = " << path
                             << ": the node exporter's textfile collector reads only files ending in .prom";
    return path;
}

std::unique_ptr<MetricsFile> makeMetricsFile(
    const QSettings& settings, MetricsDevice device, const EnvironmentMonitor* monitor)
{
    const QString path = readMetricsFilePath(settings);
    if (path.isEmpty())
        return nullptr;
    return std::make_unique<MetricsFile>(path, std::move(device), monitor);
}
