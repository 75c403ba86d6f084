#include "superio/fintek_vendor.h"

namespace {

// Watchdog counter; it lands in whichever logical device the configured
// lists (or an earlier call) selected.
constexpr uint8_t kCounter = 0xF6;

} // namespace

const ChipTable fintek_ids = {
    { 0x0704, "F81865" },
    { 0x1010, "F81866" },
    { 0x0407, "F81216AD" },
    { 0x1901, "F71808E" },
    { 0x1106, "F81864" },
    { 0x1411, "F81966" },
    { 0x0723, "F81801" },
};

FintekVendor::FintekVendor()
{
    // Unconfigured means no key at all, not the file's default exit key.
    config.exitKey = 0;
}

FintekVendor::~FintekVendor() = default;

void FintekVendor::enter(uint16_t port) const
{
    for (const uint8_t byte : config.enterKey)
        sio_write_index(port, byte);
}

void FintekVendor::exit(uint16_t port) const
{
    sio_write_index(port, config.exitKey);
}

const RegList& FintekVendor::chosen(const RegList& handedOver, const RegList& configured)
{
    return handedOver.empty() ? configured : handedOver;
}

bool FintekVendor::probe(uint16_t port)
{
    // Without a configured key nothing unlocks the chip first; the reads
    // then see whatever a locked chip or an empty bus returns.
    enter(port);
    const uint16_t id = sio_read_chip_id(port);
    exit(port);

    if (sio_match_table(fintek_ids, id, id, modelName, modelCode))
        return true;
    // Unlisted Fintek parts still carry one of the vendor's id families.
    const uint8_t family = id >> 8;
    return family == 0x07 || family == 0x10;
}

void FintekVendor::wdt_start(uint16_t port, uint8_t timeoutSec)
{
    enter(port);
    sio_run_commands(port, chosen(startCmds, config.startCmds));
    sio_write(port, kCounter, timeoutSec);
    exit(port);
}

void FintekVendor::wdt_feed(uint16_t port, uint8_t timeoutSec)
{
    enter(port);
    sio_run_commands(port, chosen(feedCmds, config.feedCmds));
    sio_write(port, kCounter, timeoutSec);
    exit(port);
}

void FintekVendor::wdt_stop(uint16_t port)
{
    // With no stop list configured this only unlocks and locks again: the
    // watchdog keeps counting.
    enter(port);
    sio_run_commands(port, chosen(stopCmds, config.stopCmds));
    exit(port);
}

std::string FintekVendor::name() const
{
    return "Fintek";
}

std::string FintekVendor::model() const
{
    return modelName;
}

std::string FintekVendor::model_code() const
{
    return modelCode;
}

void FintekVendor::setConfig(const VendorConfig& newConfig)
{
    config = newConfig;
}
