#pragma once

#include "strategy/vendor_strategy.h"

#include <cstdint>
#include <map>
#include <string>

// Configuration-space access of a Super I/O chip through its index/data port
// pair: the index port is the base the chip decodes (0x2E or 0x4E on most
// boards), the data port sits at base + 1. These helpers are the only code
// that touches the ports; the vendor drivers call nothing else.
//
// Register access reaches the chip only between the vendor's enter and exit
// sequences, and a sequence must not be interleaved with another one on the
// same chip: a foreign index write between our index write and its data
// access sends the data to the wrong register.

/// A chip table: chip id (or masked id) to model name.
using ChipTable = std::map<uint16_t, std::string>;

/// One byte to the index port, as the vendors' enter and exit keys are sent.
void sio_write_index(uint16_t port, uint8_t value);
/// Register @p reg of the selected device <- @p val.
void sio_write(uint16_t port, uint8_t reg, uint8_t val);
uint8_t sio_read(uint16_t port, uint8_t reg);
/// Registers 0x20 (high byte, read first) and 0x21 (low byte).
uint16_t sio_read_chip_id(uint16_t port);
/// Writes every command of @p cmds in order, then logs each one at critical
/// level as "reg: f6  val: 1e".
void sio_run_commands(uint16_t port, const RegList& cmds);
/// "0x" and four lower-case hexadecimal digits: 0xb450.
std::string sio_model_code(uint16_t chipId);

/// Where the bodies of a driver's start, feed and stop come from.
enum class SioBodies {
    /// The list handed over after detection when it has commands, else the
    /// vendor section's (then the built-in writes); a feed runs the feed
    /// lists.
    HandedOverFirst,
    /// The vendor section's start and stop lists, else the built-in writes;
    /// handed-over lists are not used, and a feed repeats the whole start.
    VendorSection,
};

/// What sets one vendor's chips apart. Every driver does the same: enter,
/// read the id or run a body, write the counter, exit; this says with
/// which keys, table and registers.
struct SioVendor {
    const char* name;
    /// The model until a probe finds the chip in the table.
    const char* genericModel;
    /// Unlocks the configuration space; the vendor section is at hand for a
    /// vendor whose keys are configured. An enter key that the vendor
    /// section names takes its place (sio_enter).
    void (*enter)(uint16_t port, const VendorConfig& config);
    void (*exit)(uint16_t port, const VendorConfig& config);
    const ChipTable& chips;
    /// Applied to the chip id before the table lookup.
    uint16_t keyMask;
    /// The verdict on a chip id that is not in the table.
    bool (*accepts)(uint16_t chipId);
    /// Written with the timeout after every start and feed body, unless the
    /// vendor section names another counter register.
    uint8_t counter;
    /// The driver's own start and stop writes, for when no list is configured.
    RegList builtInStart;
    RegList builtInStop;
    /// The built-in stop ends by writing 0 into the counter register.
    bool builtInStopClearsCounter;
    SioBodies bodies;
};

/// What a driver keeps between calls: the vendor section it was given and
/// the names of the chip that the last table match found.
struct SioState {
    explicit SioState(const SioVendor& vendor);

    VendorConfig config;
    std::string modelName;
    std::string modelCode = "***";
};

/// The enter sequence: the vendor section's key when it names one, else the
/// vendor's own.
void sio_enter(const SioVendor& vendor, const VendorConfig& config, uint16_t port);
/// The register that takes the timeout: the vendor section's, else the
/// vendor's own.
uint8_t sio_counter(const SioVendor& vendor, const VendorConfig& config);

/// Enter, chip id, exit; then the table or the vendor's rule decides. Only a
/// table match changes the model fields.
bool sio_probe(const SioVendor& vendor, SioState& state, uint16_t port);
/// Enter, start body, counter <- @p timeoutSec, exit. @p handedStart is the
/// start list given by setCommands.
void sio_start(
    const SioVendor& vendor, const SioState& state, const RegList& handedStart, uint16_t port, uint8_t timeoutSec);
/// The same with the feed lists, for a vendor whose feed is not its start.
void sio_feed(
    const SioVendor& vendor, const SioState& state, const RegList& handedFeed, uint16_t port, uint8_t timeoutSec);
/// Enter, stop body, exit: the counter is only cleared by a body that does so.
void sio_stop(const SioVendor& vendor, const SioState& state, const RegList& handedStop, uint16_t port);

/// The watchdog strategy of one Super I/O vendor: the IVendorStrategy
/// operations over that vendor's description. Each vendor's strategy is this
/// class for its own SioVendor (FintekVendor, IteVendor, NuvotonVendor), so
/// all three derive from IVendorStrategy directly and do the same thing; their
/// differences stay in their tables and sequences.
template <const SioVendor& vendor> class SioVendorStrategy : public IVendorStrategy {
public:
    bool probe(uint16_t port) override { return sio_probe(vendor, state, port); }
    void wdt_start(uint16_t port, uint8_t timeoutSec) override
    {
        sio_start(vendor, state, startCmds, port, timeoutSec);
    }
    void wdt_stop(uint16_t port) override { sio_stop(vendor, state, stopCmds, port); }
    void wdt_feed(uint16_t port, uint8_t timeoutSec) override
    {
        if (vendor.bodies == SioBodies::VendorSection)
            wdt_start(port, timeoutSec);
        else
            sio_feed(vendor, state, feedCmds, port, timeoutSec);
    }
    std::string name() const override { return vendor.name; }
    std::string model() const override { return state.modelName; }
    std::string model_code() const override { return state.modelCode; }
    void setConfig(const VendorConfig& config) override { state.config = config; }

private:
    SioState state { vendor };
};
