#include "superio/ite_vendor.h"

namespace {

constexpr uint8_t kConfigControl = 0x02;
constexpr uint8_t kCounter = 0x74;

// Logical device 7 is the watchdog; bit 7 of its timer configuration makes
// the counter count seconds, not minutes.
const RegList kBuiltInStart = {{0x07, 0x07}, {0x72, 0x80}};
// A zero counter disables the watchdog.
const RegList kBuiltInStop = {{0x07, 0x07}, {kCounter, 0x00}};

} // namespace

const ChipTable ite_ids = {
    { 0x8712, "IT8712F" },
    { 0x8718, "IT8718F" },
    { 0x8720, "IT8720F" },
    { 0x8721, "IT8721F" },
    { 0x8728, "IT8728F" },
    { 0x8772, "IT8772E" },
    { 0x8613, "IT8613E" },
    { 0x8620, "IT8620E" },
    { 0x8628, "IT8628E" },
};

IteVendor::~IteVendor() = default;

void IteVendor::enter(uint16_t port)
{
    // The MB PnP key; its last byte tells the chip which of its two bases
    // is meant.
    sio_write_index(port, 0x87);
    sio_write_index(port, 0x01);
    sio_write_index(port, 0x55);
    sio_write_index(port, port == 0x2E ? 0x55 : 0xAA);
}

void IteVendor::exit(uint16_t port)
{
    // ITE chips leave configuration mode through a register, not a key.
    sio_write(port, kConfigControl, 0x02);
}

bool IteVendor::probe(uint16_t port)
{
    enter(port);
    const uint16_t id = sio_read_chip_id(port);
    exit(port);

    if (sio_match_table(ite_ids, id, id, modelName, modelCode))
        return true;
    const uint8_t family = id >> 8;
    return family == 0x86 || family == 0x87;
}

void IteVendor::wdt_start(uint16_t port, uint8_t timeoutSec)
{
    enter(port);
    sio_run_body(port, config.startCmds, kBuiltInStart);
    sio_write(port, kCounter, timeoutSec);
    exit(port);
}

void IteVendor::wdt_feed(uint16_t port, uint8_t timeoutSec)
{
    // Reloading the counter is the feed; the whole start sequence also puts
    // back a unit or device selection that something else changed.
    wdt_start(port, timeoutSec);
}

void IteVendor::wdt_stop(uint16_t port)
{
    enter(port);
    sio_run_body(port, config.stopCmds, kBuiltInStop);
    exit(port);
}

std::string IteVendor::name() const
{
    return "Ite";
}

std::string IteVendor::model() const
{
    return modelName;
}

std::string IteVendor::model_code() const
{
    return modelCode;
}

void IteVendor::setConfig(const VendorConfig& newConfig)
{
    config = newConfig;
}
