#pragma once

#include "strategy/vendor_strategy.h"

#include <QSettings>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class SuperIOManager;

/// The value of @p key ("Section/key"). Section and key names match whatever
/// their letter case in the file: [debug] is the section Debug.
QVariant configValue(const QSettings& settings, const QString& key, const QVariant& fallback = QVariant());
bool configContains(const QSettings& settings, const QString& key);

/// A text value. An unquoted comma makes the INI reader split a value into a
/// list, which would read as an empty text and silently drop a command: such
/// a value is joined again at its commas, with a warning to quote it.
QString configText(const QSettings& settings, const QString& key, const QString& fallback = QString());

/// A switch value: "on", "true" (any letter case), "1" or anything that reads
/// as the decimal integer 1.
bool readSwitch(const QString& text);

/// An unsigned hexadecimal number with or without "0x"; false when unreadable.
bool parseHex(const QString& text, uint* value);
/// The same, 0 when unreadable.
uint readHex(const QString& text);

/// Register-list items "reg:val" (both hexadecimal, low 8 bits kept) to
/// register writes; items without exactly two pieces are skipped, items with
/// an unreadable number too, with a warning.
RegList parseCmds(const QStringList& list);

void setupDebugFromConfig(const QString& path);
void setupTarveloForce(const QString& path);
void setupMonitoringFromConfig(const QString& path);

/// The VendorConfig of section "Vendor_<name>".
VendorConfig readVendorConfig(const QSettings& settings, const QString& name);

/// Configures @p strategy from section "Vendor_<name>" and appends it to the
/// candidates of @p manager.
void loadVendorConfig(const QSettings& settings, const QString& name,
                      const std::shared_ptr<IVendorStrategy>& strategy, SuperIOManager& manager);

/// "Global/ScanPorts": the configuration ports to probe, in file order;
/// items that are no port number are skipped with a warning.
std::vector<uint16_t> readScanPorts(const QSettings& settings);

/// The feed period in ms: "IntervalMs" of the model section, else
/// "Global/IntervalMs", else 3000. A value that is not a positive decimal
/// integer is ignored at its level with a warning.
int readIntervalMs(const QSettings& settings, const QString& modelSection);

/// Hands the Super I/O register lists to the detected strategy: each list
/// from the model section when the key is there (even empty), else from the
/// vendor section.
void handOverRegisterLists(const QSettings& settings, IVendorStrategy& strategy,
                           const QString& modelSection, const QString& vendorSection);

/// Hands the four DCON templates to the detected serial board: each from the
/// model section when not empty, else from "Vendor_Tarvelo".
void handOverDconTemplates(const QSettings& settings, SuperIOManager& manager,
                           const QString& modelSection);
