#pragma once

#include "strategy/ini_values.h"
#include "strategy/vendor_strategy.h"

#include <QSettings>
#include <QString>

#include <memory>
#include <vector>

class SuperIOManager;

// The loaders of start-up: the global switches, the vendor sections and the
// lookups after detection. The value readers they use are shared with the
// drivers, in strategy/ini_values.h.

void setupDebugFromConfig(const QString& path);
void setupTarveloForce(const QString& path);
void setupMonitoringFromConfig(const QString& path);

/// The VendorConfig of section "Vendor_<name>".
VendorConfig readVendorConfig(const QSettings& settings, const QString& name);

/// Configures @p strategy from section "Vendor_<name>" and appends it to the
/// candidates of @p manager.
void loadVendorConfig(const QSettings& settings, const QString& name, const std::shared_ptr<IVendorStrategy>& strategy,
    SuperIOManager& manager);

/// "Global/ScanPorts": the configuration ports to probe, in file order;
/// items that are no port number (0 and 0xFFFF included) are skipped with a
/// warning.
std::vector<uint16_t> readScanPorts(const QSettings& settings);

/// "Vendor_Tarvelo/Probe": whether the serial board is a candidate at all.
/// On when absent or empty; otherwise a switch.
bool readSerialBoardProbe(const QSettings& settings);

/// The feed period in ms: "IntervalMs" of the model section, else
/// "Global/IntervalMs", else 3000. A value that is not a positive decimal
/// integer is ignored at its level with a warning.
int readIntervalMs(const QSettings& settings, const QString& modelSection);

/// Hands the Super I/O register lists to the detected strategy: each list
/// from the model section when the key is there (even empty), else from the
/// vendor section.
void handOverRegisterLists(
    const QSettings& settings, IVendorStrategy& strategy, const QString& modelSection, const QString& vendorSection);

/// Hands the four DCON templates to the detected serial board: each from the
/// model section when not empty, else from "Vendor_Tarvelo".
void handOverDconTemplates(const QSettings& settings, SuperIOManager& manager, const QString& modelSection);
