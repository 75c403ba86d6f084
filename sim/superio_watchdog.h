#pragma once

#include "sim/superio_simulator.h"
#include "sim/watchdog_countdown.h"

#include <cstdint>

// The watchdog inside a simulated Super I/O chip: it follows the register
// writes that reach the chip's watchdog device. Writing the counter
// register with a timeout arms the watchdog or feeds it, writing 0 disarms
// it. Where the vendor has an enable bit, the watchdog counts only while
// that bit is set; the time-unit bit makes the counter count minutes.
class SuperIoWatchdog {
public:
    struct Layout {
        uint8_t device;
        uint8_t counter;
        uint8_t unitRegister;
        uint8_t unitBit;
        // ITE: the unit bit set means seconds; the others: minutes.
        bool unitBitMeansSeconds;
        uint8_t enableRegister;
        uint8_t enableBit; // 0: no enable bit, the counter alone decides

        // Logical device 7, counter 0xF6; 0xF5 holds the enable bit (5) and
        // the unit bit (3, minutes).
        static Layout fintek();
        // Logical device 7, counter 0x74; bit 7 of 0x72 selects seconds.
        static Layout ite();
        // Logical device 8, counter 0xF6; bit 3 of 0xF5 selects minutes.
        static Layout nuvoton();
    };

    /// Attaches to @p chip's register writes; both must outlive this object.
    SuperIoWatchdog(SimulatedSuperIo& chip, Layout layout, WatchdogCountdown& countdown);
    ~SuperIoWatchdog();
    SuperIoWatchdog(const SuperIoWatchdog&) = delete;
    SuperIoWatchdog& operator=(const SuperIoWatchdog&) = delete;

private:
    void written(uint8_t device, uint8_t index, uint8_t value);
    bool enabled() const;
    std::chrono::seconds timeout(uint8_t count) const;

    SimulatedSuperIo& chip;
    const Layout layout;
    WatchdogCountdown& countdown;
    bool wasEnabled = false;
};
