#pragma once

#include <QString>

#include <vector>

/**
 * The environment monitor of the serial controller board, as the daemon core
 * sees it: two tables of channels, static ones read once after start-up and
 * dynamic ones read on every monitoring request, each reading one exchange
 * on the board's line. The core reads them one channel at a time, so that it
 * can fit the readings between two feeds. Everything runs on the daemon's
 * thread and never overlaps with a watchdog call.
 */
class EnvironmentMonitor {
public:
    enum class Table { Static, Dynamic };

    virtual ~EnvironmentMonitor() = default;

    /// The channels configured in @p table.
    virtual int channelCount(Table table) const = 0;
    /// Reads channel @p index of @p table, counted in reading order from 0:
    /// one request and its reply, the value stored and logged.
    virtual void readChannel(Table table, int index) = 0;
    /// The longest one reading can block the thread, every wait included.
    virtual int readingWorstCaseMs() const = 0;

    /// What one channel has shown so far, for reports on the daemon.
    struct ChannelState {
        Table table = Table::Dynamic;
        /// The channel's key without "Cmds": "HitWDT", "Term0", "Cool3".
        QString name;
        /// Whether a reading ever succeeded, and the last value as a number
        /// (0 for texts such as S or R).
        bool read = false;
        double value = 0;
        /// Readings that gave no value, since start-up.
        int failures = 0;
    };
    /// Every configured channel, static ones first, in reading order.
    virtual std::vector<ChannelState> channelStates() const { return {}; }

    /// Every channel of a table, one after the other, with no regard for
    /// time: for callers that have no feed to keep.
    void queryStaticSensors() { readAll(Table::Static); }
    void queryDynamicSensors() { readAll(Table::Dynamic); }

private:
    void readAll(Table table)
    {
        for (int i = 0; i < channelCount(table); ++i)
            readChannel(table, i);
    }
};
