#pragma once

#include "strategy/vendor_strategy.h"
#include "superio/superio_port.h"

/// Nuvoton and Winbond chips by chip id with its low four bits (the
/// revision) cleared.
extern const ChipTable nct_ids;
/// How a Nuvoton or Winbond chip is reached and its watchdog driven.
extern const SioVendor nuvoton_superio;

// The watchdog of a Nuvoton or Winbond W83627 Super I/O chip, in logical
// device 8. Built-in enter and exit keys (a configured enter key replaces
// the former); configured start and stop lists replace the built-in bodies,
// the counter write after the start body stays.
// It accepts any chip that answers with a plausible id, so it is the
// catch-all among the Super I/O candidates and is probed last.
using NuvotonVendor = SioVendorStrategy<nuvoton_superio>;
