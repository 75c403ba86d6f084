#pragma once

#include "strategy/vendor_strategy.h"
#include "superio/superio_port.h"

#include <string>

/// Fintek chips by chip id.
extern const ChipTable fintek_ids;

// The watchdog of a Fintek Super I/O chip. Everything but the timeout comes
// from the configuration: the enter and exit keys, and the register lists
// that select the watchdog's logical device, pick its time unit and enable
// it. The driver itself only reads the chip id and writes the counter.
class FintekVendor : public IVendorStrategy {
public:
    FintekVendor();
    ~FintekVendor() override;

    bool probe(uint16_t port) override;
    void wdt_start(uint16_t port, uint8_t timeoutSec) override;
    void wdt_stop(uint16_t port) override;
    void wdt_feed(uint16_t port, uint8_t timeoutSec) override;
    std::string name() const override;
    std::string model() const override;
    std::string model_code() const override;
    void setConfig(const VendorConfig& config) override;

private:
    void enter(uint16_t port) const;
    void exit(uint16_t port) const;
    // The list handed over after detection when it has commands, else the
    // one of the vendor section; never both.
    static const RegList& chosen(const RegList& handedOver, const RegList& configured);

    VendorConfig config;
    std::string modelName = "Generic_Fintek";
    std::string modelCode = "***";
};
