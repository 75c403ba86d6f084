#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// One register write of a Super I/O command list.
struct RegValue {
    uint8_t reg = 0;
    uint8_t val = 0;

    bool operator==(const RegValue& other) const { return reg == other.reg && val == other.val; }
};

using RegList = std::vector<RegValue>;

/// What the configuration file says about one Super I/O vendor.
struct VendorConfig {
    std::vector<uint8_t> enterKey;
    uint8_t exitKey = 0xAA;
    RegList startCmds;
    RegList stopCmds;
    RegList feedCmds;
    /// The file names an enter key of at least one byte: it then takes the
    /// place of the key of a driver that has one built in. An empty value
    /// still reads as one 0 byte in enterKey, but replaces no built-in key.
    bool enterKeyConfigured = false;
    /// The register that takes the timeout (and that a built-in stop
    /// clears); none: the driver's own.
    std::optional<uint8_t> counterRegister;
};

/**
 * One kind of watchdog hardware.
 *
 * The daemon probes every candidate until one answers, hands the detected one
 * its commands, then only arms, feeds and stops it. All calls come from the
 * daemon's one thread, and never overlap: the stop in particular is issued
 * from the event loop, between two feed ticks.
 */
class IVendorStrategy {
public:
    virtual ~IVendorStrategy();

    /// Is this strategy's hardware present at configuration port @p port?
    /// On true, model() and model_code() name the device found.
    virtual bool probe(uint16_t port) = 0;
    /// Arm the watchdog: it resets the machine @p timeoutSec seconds after
    /// the last arming or feeding.
    virtual void wdt_start(uint16_t port, uint8_t timeoutSec) = 0;
    /// Disarm the watchdog.
    virtual void wdt_stop(uint16_t port) = 0;
    /// Restart the countdown; receives the same timeout as wdt_start().
    virtual void wdt_feed(uint16_t port, uint8_t timeoutSec) = 0;
    /// Vendor name; "Tarvelo" marks the serial controller board.
    virtual std::string name() const = 0;
    /// Model name; also the name of the model's configuration section.
    virtual std::string model() const = 0;
    /// Short model code, shown in the detection line.
    virtual std::string model_code() const = 0;
    /// Take over the vendor's configuration (Super I/O candidates only).
    virtual void setConfig(const VendorConfig& config) = 0;

    /// Register lists handed over after detection.
    virtual void setCommands(const RegList& start, const RegList& stop, const RegList& feed);
    /// DCON templates handed over after detection; empty texts replace too.
    virtual void setDconCommands(QString start, QString stop, QString feed, QString set);

protected:
    RegList startCmds;
    RegList stopCmds;
    RegList feedCmds;
    QString dconStartCmd;
    QString dconStopCmd;
    QString dconFeedCmd;
    QString dconSetCmd;
};
