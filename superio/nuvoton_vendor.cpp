#include "superio/nuvoton_vendor.h"

namespace {

constexpr uint8_t kCounter = 0xF6;

// Logical device 8 is the watchdog: activate it (0x30) and let its counter
// count seconds (mode register 0xF5).
const RegList kBuiltInStart = {{0x07, 0x08}, {0x30, 0x01}, {0xF5, 0x00}};
// A zero counter disables the watchdog.
const RegList kBuiltInStop = {{0x07, 0x08}, {kCounter, 0x00}};

} // namespace

const ChipTable nct_ids = {
    { 0xB450, "NCT6776F" },
    { 0xC330, "NCT6779D" },
    { 0xC560, "NCT6791D" },
    { 0xC800, "NCT6792D" },
    { 0xD120, "NCT6793D" },
    { 0xD420, "NCT6796D" },
    { 0x5200, "W83627HF" },
    { 0x8200, "W83627THF" },
    { 0xA000, "W83627DHG" },
};

NuvotonVendor::~NuvotonVendor() = default;

void NuvotonVendor::enter(uint16_t port)
{
    // One byte, not a repeated pair.
    sio_write_index(port, 0xA5);
}

void NuvotonVendor::exit(uint16_t port)
{
    sio_write_index(port, 0xAA);
}

bool NuvotonVendor::probe(uint16_t port)
{
    enter(port);
    const uint16_t id = sio_read_chip_id(port);
    exit(port);

    // The low digit is the silicon revision: the table names the part, the
    // model code keeps the revision.
    if (sio_match_table(nct_ids, id & 0xFFF0, id, modelName, modelCode))
        return true;
    // All zeros or all ones is an empty bus or a locked chip.
    return id != 0x0000 && id != 0xFFFF;
}

void NuvotonVendor::wdt_start(uint16_t port, uint8_t timeoutSec)
{
    enter(port);
    sio_run_body(port, config.startCmds, kBuiltInStart);
    sio_write(port, kCounter, timeoutSec);
    exit(port);
}

void NuvotonVendor::wdt_feed(uint16_t port, uint8_t timeoutSec)
{
    // Reloading the counter is the feed; the whole start sequence also puts
    // back a device selection that something else changed.
    wdt_start(port, timeoutSec);
}

void NuvotonVendor::wdt_stop(uint16_t port)
{
    enter(port);
    sio_run_body(port, config.stopCmds, kBuiltInStop);
    exit(port);
}

std::string NuvotonVendor::name() const
{
    return "Nuvoton/Winbond";
}

std::string NuvotonVendor::model() const
{
    return modelName;
}

std::string NuvotonVendor::model_code() const
{
    return modelCode;
}

void NuvotonVendor::setConfig(const VendorConfig& newConfig)
{
    config = newConfig;
}
