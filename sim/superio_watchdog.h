#pragma once

#include "sim/superio_simulator.h"
#include "sim/watchdog_countdown.h"

#include <cstdint>

// The watchdog inside a simulated Super I/O chip: it follows the register
// writes that reach the chip's watchdog device. Writing the counter
// register with a timeout arms the watchdog or feeds it, writing 0 disarms
// it. Where the vendor has an enable bit, the watchdog counts only while
// that bit is set; the time-unit bit makes the counter count minutes.
//
// A 16-bit counter counts what both its bytes say together: a timeout
// written into the high byte alone counts 256 times as long. It takes the
// two bytes when the configuration session ends, so that one start or feed
// sequence is one load whichever byte it writes first.
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
        // The high byte of a 16-bit counter whose low byte is `counter`;
        // 0: the counter has 8 bits.
        uint8_t counterHigh = 0;

        // Logical device 7, counter 0xF6; 0xF5 holds the enable bit (5) and
        // the unit bit (3, minutes).
        static Layout fintek();
        // Logical device 7, counter 0x74; bit 7 of 0x72 selects seconds.
        static Layout ite();
        // The same with a 16-bit counter: 0x73 low byte, 0x74 high byte.
        static Layout ite16();
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
    void sessionClosed();
    bool enabled() const;
    std::chrono::seconds timeout(unsigned count) const;

    SimulatedSuperIo& chip;
    const Layout layout;
    WatchdogCountdown& countdown;
    bool wasEnabled = false;
    // A byte of a 16-bit counter was written in the running session.
    bool counterWritten = false;
};
