#pragma once

#include "monitor/environment_monitor.h"
#include "strategy/vendor_strategy.h"

#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// What the fake strategies were asked to do, in order. Written on the
// daemon's thread, read also by the thread that sends signals.
class Journal {
public:
    void add(const std::string& event);
    std::vector<std::string> events() const;
    /// The events starting with @p prefix, in order.
    std::vector<std::string> only(const std::string& prefix) const;
    int count(const std::string& prefix) const;

private:
    mutable std::mutex mutex;
    std::vector<std::string> entries;
};

// A watchdog strategy that answers probe() as told and journals every call
// as "<op> <name> <port in hex> [timeout]".
class FakeStrategy : public IVendorStrategy {
public:
    FakeStrategy(std::string vendorName, std::shared_ptr<Journal> journal, std::string modelName = "FakeModel",
        std::string modelCode = "0xfa4e");

    std::function<bool(uint16_t port)> answer = [](uint16_t) { return false; };
    std::function<void()> duringStart;
    std::function<void()> duringFeed;
    std::function<void()> duringStop;

    bool probe(uint16_t port) override;
    void wdt_start(uint16_t port, uint8_t timeoutSec) override;
    void wdt_stop(uint16_t port) override;
    void wdt_feed(uint16_t port, uint8_t timeoutSec) override;
    std::string name() const override { return vendorName; }
    std::string model() const override { return modelName; }
    std::string model_code() const override { return modelCode; }
    void setConfig(const VendorConfig& config) override;

    VendorConfig config;
    bool configured = false;
    RegList handedStart() const { return startCmds; }
    RegList handedStop() const { return stopCmds; }
    RegList handedFeed() const { return feedCmds; }
    QStringList handedDcon() const { return { dconStartCmd, dconStopCmd, dconFeedCmd, dconSetCmd }; }

private:
    void note(const char* op, uint16_t port, int timeoutSec = -1);

    std::string vendorName;
    std::shared_ptr<Journal> journal;
    std::string modelName;
    std::string modelCode;
};

// An environment monitor that only journals its readings, as "static <n>" or
// "dynamic <n>", each taking as long as a test makes it take.
class FakeMonitor : public EnvironmentMonitor {
public:
    explicit FakeMonitor(std::shared_ptr<Journal> journal)
        : journal(std::move(journal))
    {
    }
    int channelCount(Table table) const override { return table == Table::Static ? staticChannels : dynamicChannels; }
    void readChannel(Table table, int index) override
    {
        journal->add((table == Table::Static ? "static " : "dynamic ") + std::to_string(index));
        if (duringReading)
            duringReading();
    }
    int readingWorstCaseMs() const override { return worstCaseMs; }

    int staticChannels = 1;
    int dynamicChannels = 1;
    int worstCaseMs = 0;
    std::function<void()> duringReading;

private:
    std::shared_ptr<Journal> journal;
};
