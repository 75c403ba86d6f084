#include "sim/superio_simulator.h"
#include "sim/superio_watchdog.h"
#include "superio/ite_vendor.h"
#include "superio/nuvoton_vendor.h"

#include "port_traces.h"

#include <optional>

namespace {

// Writes @p key to the index port and reads the chip id.
uint16_t idAfterKey(SuperIoBus& bus, uint16_t base, std::initializer_list<uint8_t> key)
{
    for (const uint8_t byte : key)
        bus.outb(byte, base);
    bus.outb(0x20, base);
    const uint8_t high = bus.inb(base + 1);
    bus.outb(0x21, base);
    return static_cast<uint16_t>(high << 8 | bus.inb(base + 1));
}

TEST(SuperIoSimulator, AnswersItsIdOnlyAfterItsOwnWholeEnterKey)
{
    const struct {
        const char* what;
        std::unique_ptr<SimulatedSuperIo> (*make)(uint16_t, uint16_t);
        uint16_t base;
        std::initializer_list<uint8_t> key;
        bool unlocks;
    } rows[] = {
        { "fintek key", SimulatedSuperIo::fintek, 0x2E, { 0x87, 0x87 }, true },
        { "fintek key after a stray byte", SimulatedSuperIo::fintek, 0x2E, { 0x55, 0x87, 0x87 }, true },
        { "fintek half key", SimulatedSuperIo::fintek, 0x2E, { 0x87 }, false },
        { "fintek key broken up", SimulatedSuperIo::fintek, 0x2E, { 0x87, 0x01, 0x87 }, false },
        { "ite key at 0x2e", SimulatedSuperIo::ite, 0x2E, { 0x87, 0x01, 0x55, 0x55 }, true },
        { "ite key for 0x4e at 0x2e", SimulatedSuperIo::ite, 0x2E, { 0x87, 0x01, 0x55, 0xAA }, false },
        { "ite key at 0x4e", SimulatedSuperIo::ite, 0x4E, { 0x87, 0x01, 0x55, 0xAA }, true },
        { "ite key for 0x2e at 0x4e", SimulatedSuperIo::ite, 0x4E, { 0x87, 0x01, 0x55, 0x55 }, false },
        { "nuvoton key", SimulatedSuperIo::nuvoton, 0x2E, { 0xA5 }, true },
        { "fintek key at nuvoton", SimulatedSuperIo::nuvoton, 0x2E, { 0x87, 0x87 }, false },
        { "no key", SimulatedSuperIo::nuvoton, 0x2E, {}, false },
        { "0x87 0x87 at the part that takes it", SimulatedSuperIo::nuvotonKey8787, 0x2E, { 0x87, 0x87 }, true },
        { "0xa5 at the part that takes 0x87 0x87", SimulatedSuperIo::nuvotonKey8787, 0x2E, { 0xA5 }, false },
    };
    for (const auto& row : rows) {
        SuperIoBus bus;
        bus.add(row.make(row.base, 0x1234));
        EXPECT_EQ(idAfterKey(bus, row.base, row.key), row.unlocks ? 0x1234 : 0xFFFF) << row.what;
    }
}

// Chips that differ from the built-in sequences, driven by the real drivers
// with and without the keys that correct them: what the simulated watchdog
// does is what a user of the simulator sees.
TEST(SuperIoChipVariants, TheVendorSectionsKeysMakeTheDifference)
{
    const auto config = [](std::vector<uint8_t> key, std::optional<uint8_t> counter, RegList start, RegList stop) {
        VendorConfig c = vendorConfig(start, stop, {}, key);
        c.enterKeyConfigured = !key.empty();
        c.counterRegister = counter;
        return c;
    };
    const RegList ite16Start { { 0x07, 0x07 }, { 0x72, 0x80 }, { 0x74, 0x00 } };
    const RegList ite16Stop { { 0x07, 0x07 }, { 0x73, 0x00 }, { 0x74, 0x00 } };
    const struct {
        const char* what;
        bool ite;
        VendorConfig config;
        bool found;
        int armedSec; // after wdt_start(0x2E, 7) and a feed; 0: not armed
    } rows[] = {
        { "0x87 0x87 part, built-in key", false, VendorConfig {}, false, 0 },
        { "0x87 0x87 part, EnterKey=0x87,0x87", false, config({ 0x87, 0x87 }, {}, {}, {}), true, 7 },
        { "16-bit ITE, built-in counter 0x74: the high byte", true, VendorConfig {}, true, 7 * 256 },
        { "16-bit ITE, CounterRegister=0x73 and lists clearing 0x74", true, config({}, 0x73, ite16Start, ite16Stop),
            true, 7 },
    };
    for (const auto& row : rows) {
        SuperIoBus bus;
        ScopedPortIo installed(bus);
        WatchdogCountdown countdown;
        SimulatedSuperIo& chip
            = bus.add(row.ite ? SimulatedSuperIo::ite(0x2E, 0x8728) : SimulatedSuperIo::nuvotonKey8787(0x2E, 0xB450));
        // A high byte left behind by firmware must not survive a configured start.
        chip.setReg(0x07, 0x74, 0x01);
        SuperIoWatchdog watchdog(
            chip, row.ite ? SuperIoWatchdog::Layout::ite16() : SuperIoWatchdog::Layout::nuvoton(), countdown);
        std::unique_ptr<IVendorStrategy> driver;
        if (row.ite)
            driver = std::make_unique<IteVendor>();
        else
            driver = std::make_unique<NuvotonVendor>();
        driver->setConfig(row.config);
        const LogCapture quiet;

        EXPECT_EQ(driver->probe(0x2E), row.found) << row.what;
        driver->wdt_start(0x2E, 7);
        driver->wdt_feed(0x2E, 7);
        const WatchdogCountdown::State armed = countdown.state();
        EXPECT_EQ(armed.armed, row.armedSec != 0) << row.what;
        EXPECT_EQ(armed.timeout, std::chrono::seconds(row.armedSec)) << row.what;
        EXPECT_EQ(armed.feeds, row.armedSec != 0 ? 1u : 0u) << row.what;
        driver->wdt_stop(0x2E);
        EXPECT_FALSE(countdown.state().armed) << row.what;
    }
}

TEST(SuperIoSimulator, ExitSequenceLocksTheChipAgain)
{
    SuperIoBus bus;
    SimulatedSuperIo& fintek = bus.add(SimulatedSuperIo::fintek(0x2E, 0x1010));
    SimulatedSuperIo& ite = bus.add(SimulatedSuperIo::ite(0x4E, 0x8728));

    EXPECT_EQ(idAfterKey(bus, 0x2E, { 0x87, 0x87 }), 0x1010);
    bus.outb(0xAA, 0x2E);
    EXPECT_FALSE(fintek.unlocked());
    EXPECT_EQ(idAfterKey(bus, 0x2E, {}), 0xFFFF);

    EXPECT_EQ(idAfterKey(bus, 0x4E, { 0x87, 0x01, 0x55, 0xAA }), 0x8728);
    // 0xAA on the index port is only an index to an ITE chip.
    bus.outb(0xAA, 0x4E);
    EXPECT_TRUE(ite.unlocked());
    bus.outb(0x02, 0x4E);
    bus.outb(0x02, 0x4F);
    EXPECT_FALSE(ite.unlocked());
    EXPECT_EQ(idAfterKey(bus, 0x4E, {}), 0xFFFF);

    EXPECT_EQ(fintek.sessions(), 1);
    EXPECT_EQ(ite.sessions(), 1);
}

TEST(SuperIoSimulator, KeepsARegisterFilePerLogicalDevice)
{
    SuperIoBus bus;
    SimulatedSuperIo& chip = bus.add(SimulatedSuperIo::nuvoton(0x2E, 0xC563));
    auto set = [&](uint8_t reg, uint8_t val) {
        bus.outb(reg, 0x2E);
        bus.outb(val, 0x2F);
    };
    auto get = [&](uint8_t reg) {
        bus.outb(reg, 0x2E);
        return bus.inb(0x2F);
    };
    bus.outb(0xA5, 0x2E);
    set(0x07, 0x08);
    set(0xF6, 0x1E);
    set(0x26, 0x40); // a global register: the same in every device
    set(0x07, 0x07);
    set(0xF6, 0x05);
    set(0x20, 0x00); // the id is read-only

    EXPECT_EQ(get(0x07), 0x07);
    EXPECT_EQ(get(0xF6), 0x05);
    EXPECT_EQ(get(0x26), 0x40);
    EXPECT_EQ(get(0x20), 0xC5);
    EXPECT_EQ(chip.reg(0x08, 0xF6), 0x1E);
    EXPECT_EQ(chip.reg(0x07, 0xF6), 0x05);
    EXPECT_EQ(chip.reg(0x08, 0x26), 0x40);
    EXPECT_EQ(chip.reg(0x08, 0x30), 0x00);
    EXPECT_EQ(chip.selectedDevice(), 0x07);
}

TEST(SuperIoSimulator, ChipsAtOtherBasesStayOutOfIt)
{
    SuperIoBus bus;
    SimulatedSuperIo& first = bus.add(SimulatedSuperIo::nuvoton(0x2E, 0xC563));
    SimulatedSuperIo& second = bus.add(SimulatedSuperIo::nuvoton(0x4E, 0xD421));

    EXPECT_EQ(idAfterKey(bus, 0x4E, { 0xA5 }), 0xD421);
    EXPECT_FALSE(first.unlocked());
    EXPECT_TRUE(second.unlocked());
    EXPECT_EQ(idAfterKey(bus, 0x60, { 0xA5 }), 0xFFFF);
    EXPECT_EQ(bus.trace.size(), 10u);
}

} // namespace
