#include "superio/fintek_vendor.h"

const ChipTable fintek_ids = {
    { 0x0704, "F81865" },
    { 0x1010, "F81866" },
    { 0x0407, "F81216AD" },
    { 0x1901, "F71808E" },
    { 0x1106, "F81864" },
    { 0x1411, "F81966" },
    { 0x0723, "F81801" },
};

const SioVendor fintek_superio = {
    "Fintek",
    "Generic_Fintek",
    // Both keys come from the vendor section. Without an enter key nothing
    // unlocks the chip first; the reads then see whatever a locked chip or an
    // empty bus returns.
    [](uint16_t port, const VendorConfig& config) {
        for (const uint8_t byte : config.enterKey)
            sio_write_index(port, byte);
    },
    [](uint16_t port, const VendorConfig& config) { sio_write_index(port, config.exitKey); },
    fintek_ids,
    0xFFFF,
    // Unlisted Fintek parts still carry one of the vendor's id families.
    [](uint16_t chipId) { return chipId >> 8 == 0x07 || chipId >> 8 == 0x10; },
    // The counter lands in whichever logical device the configured lists (or
    // an earlier call) selected.
    0xF6,
    // Nothing of its own: with no stop list configured a stop only unlocks
    // and locks again, and the watchdog keeps counting.
    {},
    {},
    false,
    SioBodies::HandedOverFirst,
};
