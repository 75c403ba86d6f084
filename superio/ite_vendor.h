#pragma once

#include "strategy/vendor_strategy.h"
#include "superio/superio_port.h"

#include <string>

/// ITE chips by chip id.
extern const ChipTable ite_ids;

// The watchdog of an ITE Super I/O chip, in logical device 7. The enter and
// exit sequences are fixed; configured start and stop lists replace the
// built-in bodies, the counter write after the start body stays.
class IteVendor : public IVendorStrategy {
public:
    ~IteVendor() override;

    bool probe(uint16_t port) override;
    void wdt_start(uint16_t port, uint8_t timeoutSec) override;
    void wdt_stop(uint16_t port) override;
    void wdt_feed(uint16_t port, uint8_t timeoutSec) override;
    std::string name() const override;
    std::string model() const override;
    std::string model_code() const override;
    void setConfig(const VendorConfig& config) override;

private:
    static void enter(uint16_t port);
    static void exit(uint16_t port);

    VendorConfig config;
    std::string modelName = "Generic_Ite";
    std::string modelCode = "***";
};
