#include "sim/superio_simulator.h"

#include <utility>

namespace {

constexpr uint8_t kDeviceSelect = 0x07;
constexpr uint8_t kConfigControl = 0x02;
// Registers below this one are global: the same in every logical device.
constexpr uint8_t kFirstDeviceRegister = 0x30;

} // namespace

SimulatedSuperIo::SimulatedSuperIo(
    uint16_t base, uint16_t chipId, std::vector<uint8_t> enterKey, Exit exitBy, uint8_t exitKey)
    : chipBase(base)
    , chipId(chipId)
    , enterKey(std::move(enterKey))
    , exitBy(exitBy)
    , exitKey(exitKey)
{
}

std::unique_ptr<SimulatedSuperIo> SimulatedSuperIo::fintek(uint16_t base, uint16_t chipId)
{
    return std::make_unique<SimulatedSuperIo>(base, chipId, std::vector<uint8_t> { 0x87, 0x87 }, Exit::IndexKey);
}

std::unique_ptr<SimulatedSuperIo> SimulatedSuperIo::ite(uint16_t base, uint16_t chipId)
{
    // The last key byte names the base the chip answers at.
    const uint8_t last = base == 0x2E ? 0x55 : 0xAA;
    return std::make_unique<SimulatedSuperIo>(
        base, chipId, std::vector<uint8_t> { 0x87, 0x01, 0x55, last }, Exit::ConfigControl);
}

std::unique_ptr<SimulatedSuperIo> SimulatedSuperIo::nuvoton(uint16_t base, uint16_t chipId)
{
    return std::make_unique<SimulatedSuperIo>(base, chipId, std::vector<uint8_t> { 0xA5 }, Exit::IndexKey);
}

std::unique_ptr<SimulatedSuperIo> SimulatedSuperIo::nuvotonKey8787(uint16_t base, uint16_t chipId)
{
    return std::make_unique<SimulatedSuperIo>(base, chipId, std::vector<uint8_t> { 0x87, 0x87 }, Exit::IndexKey);
}

bool SimulatedSuperIo::decodes(uint16_t port) const
{
    return port == chipBase || port == static_cast<uint16_t>(chipBase + 1);
}

uint8_t& SimulatedSuperIo::cell(uint8_t dev, uint8_t idx)
{
    const uint8_t owner = idx < kFirstDeviceRegister ? 0 : dev;
    return registers[static_cast<uint16_t>(owner << 8 | idx)];
}

uint8_t SimulatedSuperIo::reg(uint8_t dev, uint8_t idx) const
{
    const uint8_t owner = idx < kFirstDeviceRegister ? 0 : dev;
    const auto found = registers.find(static_cast<uint16_t>(owner << 8 | idx));
    return found == registers.end() ? 0x00 : found->second;
}

void SimulatedSuperIo::setReg(uint8_t dev, uint8_t idx, uint8_t value)
{
    cell(dev, idx) = value;
}

// The key has to arrive whole and in order; a wrong byte starts over (or
// counts as the first byte again when it is one).
void SimulatedSuperIo::keyByte(uint8_t value)
{
    if (enterKey.empty())
        return;
    if (value == enterKey[keyProgress]) {
        ++keyProgress;
    } else {
        keyProgress = value == enterKey[0] ? 1 : 0;
    }
    if (keyProgress == enterKey.size()) {
        keyProgress = 0;
        configMode = true;
        index = 0;
    }
}

void SimulatedSuperIo::closeSession()
{
    configMode = false;
    ++closedSessions;
    if (onSessionClosed)
        onSessionClosed();
}

void SimulatedSuperIo::write(uint16_t port, uint8_t value)
{
    const bool indexPort = port == chipBase;
    if (!configMode) {
        if (indexPort)
            keyByte(value);
        return;
    }
    if (indexPort) {
        if (exitBy == Exit::IndexKey && value == exitKey) {
            closeSession();
            return;
        }
        index = value;
        return;
    }
    switch (index) {
    case kDeviceSelect:
        device = value;
        return;
    case 0x20:
    case 0x21:
        return; // the chip id is read-only
    case kConfigControl:
        if (exitBy == Exit::ConfigControl && (value & 0x02)) {
            closeSession();
            return;
        }
        break;
    default:
        break;
    }
    cell(device, index) = value;
    if (onRegisterWrite)
        onRegisterWrite(device, index, value);
}

uint8_t SimulatedSuperIo::read(uint16_t port)
{
    if (!configMode || port == chipBase)
        return 0xFF;
    switch (index) {
    case kDeviceSelect:
        return device;
    case 0x20:
        return static_cast<uint8_t>(chipId >> 8);
    case 0x21:
        return static_cast<uint8_t>(chipId & 0xFF);
    default:
        return reg(device, index);
    }
}

SimulatedSuperIo& SuperIoBus::add(std::unique_ptr<SimulatedSuperIo> chip)
{
    chips.push_back(std::move(chip));
    return *chips.back();
}

void SuperIoBus::accessed(const PortAccess& access)
{
    if (onAccess)
        onAccess(access);
}

SimulatedSuperIo* SuperIoBus::chipAt(uint16_t port) const
{
    for (const auto& chip : chips) {
        if (chip->decodes(port))
            return chip.get();
    }
    return nullptr;
}

void SuperIoBus::write(uint16_t port, uint8_t value)
{
    if (SimulatedSuperIo* chip = chipAt(port))
        chip->write(port, value);
}

uint8_t SuperIoBus::read(uint16_t port)
{
    SimulatedSuperIo* chip = chipAt(port);
    return chip ? chip->read(port) : 0xFF;
}
