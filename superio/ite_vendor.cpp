#include "superio/ite_vendor.h"

namespace {

constexpr uint8_t kDeviceSelect = 0x07;
constexpr uint8_t kWatchdogDevice = 0x07;
constexpr uint8_t kConfigControl = 0x02;
constexpr uint8_t kTimerConfig = 0x72;
constexpr uint8_t kCounter = 0x74;

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
    if (!config.startCmds.empty()) {
        sio_run_commands(port, config.startCmds);
    } else {
        sio_write(port, kDeviceSelect, kWatchdogDevice);
        // Bit 7: the counter counts seconds, not minutes.
        sio_write(port, kTimerConfig, 0x80);
    }
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
    if (!config.stopCmds.empty()) {
        sio_run_commands(port, config.stopCmds);
    } else {
        sio_write(port, kDeviceSelect, kWatchdogDevice);
        // A zero counter disables the watchdog.
        sio_write(port, kCounter, 0x00);
    }
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
