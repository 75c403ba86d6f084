#include "superio/ite_vendor.h"

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

const SioVendor ite_superio = {
    "Ite",
    "Generic_Ite",
    // The MB PnP key; its last byte tells the chip which of its two bases is
    // meant. An EnterKey of the vendor section replaces it; the exit key
    // plays no part.
    [](uint16_t port, const VendorConfig&) {
        sio_write_index(port, 0x87);
        sio_write_index(port, 0x01);
        sio_write_index(port, 0x55);
        sio_write_index(port, port == 0x2E ? 0x55 : 0xAA);
    },
    // ITE chips leave configuration mode through a register, not a key.
    [](uint16_t port, const VendorConfig&) { sio_write(port, 0x02, 0x02); },
    ite_ids,
    0xFFFF,
    [](uint16_t chipId) { return chipId >> 8 == 0x86 || chipId >> 8 == 0x87; },
    // The counter of the 8-bit parts. Parts with a 16-bit counter keep its
    // low byte in 0x73 and its high byte here, so that this write alone arms
    // them with about 256 times the timeout: they need CounterRegister=0x73
    // and lists that clear 0x74.
    0x74,
    // Logical device 7 is the watchdog; bit 7 of its timer configuration
    // makes the counter count seconds, not minutes.
    { { 0x07, 0x07 }, { 0x72, 0x80 } },
    // A zero counter disables the watchdog.
    { { 0x07, 0x07 } },
    true,
    // Reloading the counter is the feed; the whole start sequence also puts
    // back a unit or device selection that something else changed.
    SioBodies::VendorSection,
};
