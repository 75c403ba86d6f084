#pragma once

#include "strategy/vendor_strategy.h"
#include "superio/superio_port.h"

/// ITE chips by chip id.
extern const ChipTable ite_ids;
/// How an ITE chip is reached and its watchdog driven.
extern const SioVendor ite_superio;

// The watchdog of an ITE Super I/O chip, in logical device 7. The enter and
// exit sequences are built in (a configured enter key replaces the former);
// configured start and stop lists replace the built-in bodies, the counter
// write after the start body stays.
using IteVendor = SioVendorStrategy<ite_superio>;
