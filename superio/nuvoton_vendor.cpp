#include "superio/nuvoton_vendor.h"

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

const SioVendor nuvoton_superio = {
    "Nuvoton/Winbond",
    "Generic_Nuvoton/Winbond",
    // One byte each, not a repeated pair. Many Nuvoton and Winbond parts
    // open only with 0x87 written twice: an EnterKey of the vendor section
    // replaces this key. The exit key plays no part.
    [](uint16_t port, const VendorConfig&) { sio_write_index(port, 0xA5); },
    [](uint16_t port, const VendorConfig&) { sio_write_index(port, 0xAA); },
    nct_ids,
    // The low digit is the silicon revision: the table names the part, the
    // model code keeps the revision.
    0xFFF0,
    // All zeros or all ones is an empty bus or a locked chip.
    [](uint16_t chipId) { return chipId != 0x0000 && chipId != 0xFFFF; },
    0xF6,
    // Logical device 8 is the watchdog: activate it (0x30) and let its
    // counter count seconds (mode register 0xF5).
    { { 0x07, 0x08 }, { 0x30, 0x01 }, { 0xF5, 0x00 } },
    // A zero counter disables the watchdog.
    { { 0x07, 0x08 } },
    true,
    // Reloading the counter is the feed; the whole start sequence also puts
    // back a device selection that something else changed.
    SioBodies::VendorSection,
};
