#pragma once

#include "strategy/vendor_strategy.h"

#include <memory>
#include <string>
#include <vector>

// Holds the candidate strategies and, once detection succeeded, the one that
// answered together with its port. Both are written once, before the signal
// path can read them, and never change afterwards.
class SuperIOManager {
public:
    ~SuperIOManager();

    std::string vendor() const;
    std::string model() const;
    void setDconCommands(QString start, QString stop, QString feed, QString set);

    std::vector<std::shared_ptr<IVendorStrategy>> strategies;
    std::shared_ptr<IVendorStrategy> current;
    uint16_t port = 0;
};
