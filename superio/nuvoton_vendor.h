#pragma once

#include "strategy/vendor_strategy.h"
#include "superio/superio_port.h"

#include <string>

/// Nuvoton and Winbond chips by chip id with its low four bits (the
/// revision) cleared.
extern const ChipTable nct_ids;

// The watchdog of a Nuvoton or Winbond W83627 Super I/O chip, in logical
// device 8. Fixed enter and exit keys; configured start and stop lists
// replace the built-in bodies, the counter write after the start body stays.
// It accepts any chip that answers with a plausible id, so it is the
// catch-all among the Super I/O candidates and is probed last.
class NuvotonVendor : public IVendorStrategy {
public:
    ~NuvotonVendor() override;

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
    std::string modelName = "Generic_Nuvoton/Winbond";
    std::string modelCode = "***";
};
