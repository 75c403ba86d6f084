#pragma once

#include "core/daemon.h"

#include <QSettings>

#include <memory>

/// The parts of the real daemon: the three Super I/O drivers, the serial
/// board and its environment monitor.
DaemonParts productionParts();

/// The board's candidate as the daemon creates it at start-up: link
/// parameters and the start, stop and feed templates from "Vendor_Tarvelo".
std::shared_ptr<IVendorStrategy> createTarveloVendor(const QSettings& settings);
