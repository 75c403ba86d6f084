#pragma once

#include "strategy/vendor_strategy.h"
#include "superio/superio_port.h"

/// Fintek chips by chip id.
extern const ChipTable fintek_ids;
/// How a Fintek chip is reached and its watchdog driven.
extern const SioVendor fintek_superio;

// The watchdog of a Fintek Super I/O chip. Everything but the timeout comes
// from the configuration: the enter and exit keys, and the register lists
// that select the watchdog's logical device, pick its time unit and enable
// it. The driver itself only reads the chip id and writes the counter.
using FintekVendor = SioVendorStrategy<fintek_superio>;
