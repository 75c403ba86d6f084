#include "strategy/vendor_strategy.h"

#include <utility>

IVendorStrategy::~IVendorStrategy() = default;

void IVendorStrategy::setCommands(const RegList& start, const RegList& stop, const RegList& feed)
{
    startCmds = start;
    stopCmds = stop;
    feedCmds = feed;
}

void IVendorStrategy::setDconCommands(QString start, QString stop, QString feed, QString set)
{
    dconStartCmd = std::move(start);
    dconStopCmd = std::move(stop);
    dconFeedCmd = std::move(feed);
    dconSetCmd = std::move(set);
}
