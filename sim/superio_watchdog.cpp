#include "sim/superio_watchdog.h"

SuperIoWatchdog::Layout SuperIoWatchdog::Layout::fintek()
{
    return Layout { 0x07, 0xF6, 0xF5, 0x08, false, 0xF5, 0x20 };
}

SuperIoWatchdog::Layout SuperIoWatchdog::Layout::ite()
{
    return Layout { 0x07, 0x74, 0x72, 0x80, true, 0, 0 };
}

SuperIoWatchdog::Layout SuperIoWatchdog::Layout::ite16()
{
    Layout layout = ite();
    layout.counter = 0x73;
    layout.counterHigh = 0x74;
    return layout;
}

SuperIoWatchdog::Layout SuperIoWatchdog::Layout::nuvoton()
{
    return Layout { 0x08, 0xF6, 0xF5, 0x08, false, 0, 0 };
}

SuperIoWatchdog::SuperIoWatchdog(SimulatedSuperIo& chip, Layout layout, WatchdogCountdown& countdown)
    : chip(chip)
    , layout(layout)
    , countdown(countdown)
{
    chip.onRegisterWrite = [this](uint8_t device, uint8_t index, uint8_t value) { written(device, index, value); };
    if (layout.counterHigh != 0)
        chip.onSessionClosed = [this] { sessionClosed(); };
}

SuperIoWatchdog::~SuperIoWatchdog()
{
    chip.onRegisterWrite = nullptr;
    chip.onSessionClosed = nullptr;
}

bool SuperIoWatchdog::enabled() const
{
    return layout.enableBit == 0 || (chip.reg(layout.device, layout.enableRegister) & layout.enableBit);
}

std::chrono::seconds SuperIoWatchdog::timeout(unsigned count) const
{
    const bool unitBitSet = chip.reg(layout.device, layout.unitRegister) & layout.unitBit;
    const bool minutes = unitBitSet != layout.unitBitMeansSeconds;
    return std::chrono::seconds(minutes ? count * 60 : count);
}

void SuperIoWatchdog::written(uint8_t device, uint8_t index, uint8_t value)
{
    if (device != layout.device)
        return;
    if (layout.counterHigh != 0) {
        if (index == layout.counter || index == layout.counterHigh)
            counterWritten = true;
        return;
    }
    if (index == layout.counter) {
        if (value == 0)
            countdown.disarm();
        else if (enabled())
            countdown.load(timeout(value));
    }
    if (layout.enableBit != 0 && index == layout.enableRegister) {
        const bool nowEnabled = enabled();
        const uint8_t count = chip.reg(layout.device, layout.counter);
        // Setting the bit starts the count from what the counter holds;
        // writing it again while it is set changes nothing.
        if (!nowEnabled)
            countdown.disarm();
        else if (!wasEnabled && count != 0)
            countdown.load(timeout(count));
    }
    wasEnabled = enabled();
}

void SuperIoWatchdog::sessionClosed()
{
    if (!counterWritten)
        return;
    counterWritten = false;
    const unsigned count = static_cast<unsigned>(chip.reg(layout.device, layout.counterHigh)) << 8
        | chip.reg(layout.device, layout.counter);
    if (count == 0)
        countdown.disarm();
    else
        countdown.load(timeout(count));
}
