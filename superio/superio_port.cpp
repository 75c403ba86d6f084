#include "superio/superio_port.h"

#include "superio/port_io.h"

#include <QDebug>
#include <QString>

#include <optional>

namespace {

// The data port follows the index port; a base of 0xFFFF wraps to 0 like
// the 16-bit port address it is.
uint16_t dataPort(uint16_t port)
{
    return static_cast<uint16_t>(port + 1);
}

} // namespace

void sio_write_index(uint16_t port, uint8_t value)
{
    portIo().outb(value, port);
}

void sio_write(uint16_t port, uint8_t reg, uint8_t val)
{
    portIo().outb(reg, port);
    portIo().outb(val, dataPort(port));
}

uint8_t sio_read(uint16_t port, uint8_t reg)
{
    portIo().outb(reg, port);
    return portIo().inb(dataPort(port));
}

uint16_t sio_read_chip_id(uint16_t port)
{
    const uint8_t high = sio_read(port, 0x20);
    const uint8_t low = sio_read(port, 0x21);
    return static_cast<uint16_t>(high << 8 | low);
}

void sio_run_commands(uint16_t port, const RegList& cmds)
{
    // The writes go out back to back: logging costs a file open per line,
    // and the chip sits unlocked for as long as the burst takes.
    for (const RegValue& cmd : cmds)
        sio_write(port, cmd.reg, cmd.val);
    // Logged at critical level so that the register writes of a configured
    // list show in the log even with debug output off.
    for (const RegValue& cmd : cmds)
        qCritical().noquote() << "reg:" << QString::number(cmd.reg, 16) << " val:" << QString::number(cmd.val, 16);
}

std::string sio_model_code(uint16_t chipId)
{
    return QStringLiteral("0x%1").arg(chipId, 4, 16, QLatin1Char('0')).toStdString();
}

SioState::SioState(const SioVendor& vendor)
    : modelName(vendor.genericModel)
{
    // Unconfigured means no key at all, not the file's default exit key.
    config.exitKey = 0;
}

void sio_enter(const SioVendor& vendor, const VendorConfig& config, uint16_t port)
{
    // Boards differ from the built-in keys: many Nuvoton and Winbond parts
    // open with 0x87 written twice, not with 0xA5.
    if (!config.enterKeyConfigured) {
        vendor.enter(port, config);
        return;
    }
    for (const uint8_t byte : config.enterKey)
        sio_write_index(port, byte);
}

uint8_t sio_counter(const SioVendor& vendor, const VendorConfig& config)
{
    return config.counterRegister.value_or(vendor.counter);
}

namespace {

// The list handed over after detection when the vendor takes such lists and
// it has commands, else the vendor section's (both written and logged), else
// the driver's built-in writes (not logged); never two of them.
void runBody(uint16_t port, const SioVendor& vendor, const RegList& handedOver, const RegList& configured,
    const RegList& builtIn, std::optional<uint8_t> clearedCounter = std::nullopt)
{
    if (vendor.bodies == SioBodies::HandedOverFirst && !handedOver.empty()) {
        sio_run_commands(port, handedOver);
    } else if (!configured.empty()) {
        sio_run_commands(port, configured);
    } else {
        for (const RegValue& cmd : builtIn)
            sio_write(port, cmd.reg, cmd.val);
        if (clearedCounter)
            sio_write(port, *clearedCounter, 0x00);
    }
}

// A start or a feed: the counter write follows whichever body ran.
void arm(const SioVendor& vendor, const VendorConfig& config, uint16_t port, const RegList& handedOver,
    const RegList& configured, const RegList& builtIn, uint8_t timeoutSec)
{
    sio_enter(vendor, config, port);
    runBody(port, vendor, handedOver, configured, builtIn);
    sio_write(port, sio_counter(vendor, config), timeoutSec);
    vendor.exit(port, config);
}

} // namespace

bool sio_probe(const SioVendor& vendor, SioState& state, uint16_t port)
{
    // Only the id is read: no logical device is selected, nothing written.
    sio_enter(vendor, state.config, port);
    const uint16_t id = sio_read_chip_id(port);
    vendor.exit(port, state.config);

    // Only a table match names the chip; an unlisted id keeps the names of
    // before and the vendor's own rule decides.
    const auto row = vendor.chips.find(id & vendor.keyMask);
    if (row == vendor.chips.end())
        return vendor.accepts(id);
    state.modelName = row->second;
    state.modelCode = sio_model_code(id);
    return true;
}

void sio_start(
    const SioVendor& vendor, const SioState& state, const RegList& handedStart, uint16_t port, uint8_t timeoutSec)
{
    arm(vendor, state.config, port, handedStart, state.config.startCmds, vendor.builtInStart, timeoutSec);
}

void sio_feed(
    const SioVendor& vendor, const SioState& state, const RegList& handedFeed, uint16_t port, uint8_t timeoutSec)
{
    arm(vendor, state.config, port, handedFeed, state.config.feedCmds, {}, timeoutSec);
}

void sio_stop(const SioVendor& vendor, const SioState& state, const RegList& handedStop, uint16_t port)
{
    sio_enter(vendor, state.config, port);
    std::optional<uint8_t> cleared;
    if (vendor.builtInStopClearsCounter)
        cleared = sio_counter(vendor, state.config);
    runBody(port, vendor, handedStop, state.config.stopCmds, vendor.builtInStop, cleared);
    vendor.exit(port, state.config);
}
