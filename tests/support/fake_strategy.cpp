#include "support/fake_strategy.h"

#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <utility>

void Journal::add(const std::string& event)
{
    std::lock_guard<std::mutex> lock(mutex);
    entries.push_back(event);
}

std::vector<std::string> Journal::events() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return entries;
}

std::vector<std::string> Journal::only(const std::string& prefix) const
{
    std::vector<std::string> kept;
    for (const std::string& event : events()) {
        if (event.compare(0, prefix.size(), prefix) == 0)
            kept.push_back(event);
    }
    return kept;
}

int Journal::count(const std::string& prefix) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(std::count_if(entries.begin(), entries.end(),
        [&](const std::string& event) { return event.compare(0, prefix.size(), prefix) == 0; }));
}

FakeStrategy::FakeStrategy(
    std::string vendorName, std::shared_ptr<Journal> journal, std::string modelName, std::string modelCode)
    : vendorName(std::move(vendorName))
    , journal(std::move(journal))
    , modelName(std::move(modelName))
    , modelCode(std::move(modelCode))
{
}

void FakeStrategy::note(const char* op, uint16_t port, int timeoutSec)
{
    char text[128];
    if (timeoutSec < 0)
        std::snprintf(text, sizeof text, "%s %s 0x%x", op, vendorName.c_str(), port);
    else
        std::snprintf(text, sizeof text, "%s %s 0x%x %d", op, vendorName.c_str(), port, timeoutSec);
    journal->add(text);
}

bool FakeStrategy::probe(uint16_t port)
{
    note("probe", port);
    return answer(port);
}

void FakeStrategy::wdt_start(uint16_t port, uint8_t timeoutSec)
{
    note("start", port, timeoutSec);
    if (duringStart)
        duringStart();
}

void FakeStrategy::wdt_stop(uint16_t port)
{
    note("stop", port);
    if (duringStop)
        duringStop();
}

void FakeStrategy::wdt_feed(uint16_t port, uint8_t timeoutSec)
{
    note("feed", port, timeoutSec);
    if (duringFeed)
        duringFeed();
    note("fed", port);
}

void FakeStrategy::setConfig(const VendorConfig& newConfig)
{
    config = newConfig;
    configured = true;
    journal->add("config " + vendorName);
}
