#include "superio/nuvoton_vendor.h"
#include "sim/superio_simulator.h"

#include "port_traces.h"

namespace {

struct Identity {
    uint16_t id;
    bool accepted;
    const char* model;
    const char* code;
};

TEST(NuvotonVendor, IdentifiesChipsByMaskedIdAndAcceptsAnyPlausibleId)
{
    const char* const generic = "Generic_Nuvoton/Winbond";
    const Identity rows[] = {
        { 0xB450, true, "NCT6776F", "0xb450" },
        { 0xC330, true, "NCT6779D", "0xc330" },
        { 0xC560, true, "NCT6791D", "0xc560" },
        { 0xC800, true, "NCT6792D", "0xc800" },
        { 0xD120, true, "NCT6793D", "0xd120" },
        { 0xD420, true, "NCT6796D", "0xd420" },
        { 0x5200, true, "W83627HF", "0x5200" },
        { 0x8200, true, "W83627THF", "0x8200" },
        { 0xA000, true, "W83627DHG", "0xa000" },
        // The revision digit is ignored for the name and kept in the code.
        { 0xC563, true, "NCT6791D", "0xc563" },
        { 0xB45F, true, "NCT6776F", "0xb45f" },
        { 0xA00A, true, "W83627DHG", "0xa00a" },
        // Anything else that answers is taken, unnamed.
        { 0x5217, true, generic, "***" },
        { 0xC570, true, generic, "***" },
        { 0x0704, true, generic, "***" },
        { 0x8712, true, generic, "***" },
        { 0x0001, true, generic, "***" },
        { 0xFFFE, true, generic, "***" },
        { 0x0000, false, generic, "***" },
        { 0xFFFF, false, generic, "***" },
    };
    for (const Identity& row : rows) {
        SuperIoBus bus;
        ScopedPortIo installed(bus);
        bus.add(SimulatedSuperIo::nuvoton(0x2E, row.id));
        NuvotonVendor driver;
        driver.setConfig(VendorConfig {});
        LogCapture log;

        EXPECT_EQ(driver.probe(0x2E), row.accepted) << std::hex << row.id;
        EXPECT_EQ(driver.model(), row.model) << std::hex << row.id;
        EXPECT_EQ(driver.model_code(), row.code) << std::hex << row.id;
        EXPECT_EQ(bus.trace, seq({ nuvotonEnter(0x2E), idRead(0x2E, row.id), nuvotonExit(0x2E) }))
            << std::hex << row.id;
        EXPECT_TRUE(log.lines().isEmpty());
    }
}

TEST(NuvotonVendor, EmptyBusIsRejectedAndLeavesTheModelAlone)
{
    SuperIoBus bus;
    ScopedPortIo installed(bus);
    bus.add(SimulatedSuperIo::nuvoton(0x4E, 0x5201));
    bus.add(SimulatedSuperIo::nuvoton(0x60, 0x5217));
    NuvotonVendor driver;

    EXPECT_TRUE(driver.probe(0x4E));
    EXPECT_TRUE(driver.probe(0x60));
    EXPECT_FALSE(driver.probe(0x2E));
    EXPECT_EQ(driver.model(), "W83627HF");
    EXPECT_EQ(driver.model_code(), "0x5201");
}

TEST(NuvotonVendor, ChipAccessSequences)
{
    const RegList oneCommand { { 0xF5, 0x08 } };
    const RegList handed { { 0x07, 0x07 }, { 0x30, 0x00 } };
    auto withLists = [](RegList start, RegList stop, RegList feed) {
        // The keys of the record are not the chip's: they must play no part.
        return [=](IVendorStrategy& d) { d.setConfig(vendorConfig(start, stop, feed, { 0x87, 0x87 }, 0x55)); };
    };
    auto handedOnly = [=](IVendorStrategy& d) {
        d.setConfig(VendorConfig {});
        d.setCommands(handed, handed, handed);
    };
    const Accesses builtInStart2E = seq({ nuvotonEnter(0x2E), regWrite(0x2E, 0x07, 0x08), regWrite(0x2E, 0x30, 0x01),
        regWrite(0x2E, 0xF5, 0x00), regWrite(0x2E, 0xF6, 30), nuvotonExit(0x2E) });
    const Accesses builtInStop4E
        = seq({ nuvotonEnter(0x4E), regWrite(0x4E, 0x07, 0x08), regWrite(0x4E, 0xF6, 0x00), nuvotonExit(0x4E) });
    const std::vector<TraceCase> cases = {
        { "built-in start at 0x2e", withLists({}, {}, {}), [](IVendorStrategy& d) { d.wdt_start(0x2E, 30); },
            builtInStart2E, {} },
        { "a feed is the start sequence", withLists({}, {}, oneCommand),
            [](IVendorStrategy& d) { d.wdt_feed(0x2E, 30); }, builtInStart2E, {} },
        { "built-in stop at 0x4e", withLists({}, {}, {}), [](IVendorStrategy& d) { d.wdt_stop(0x4E); }, builtInStop4E,
            {} },
        { "one-command start list keeps the counter write", withLists(oneCommand, {}, {}),
            [](IVendorStrategy& d) { d.wdt_feed(0x4E, 1); },
            seq({ nuvotonEnter(0x4E), regWrites(0x4E, oneCommand), regWrite(0x4E, 0xF6, 1), nuvotonExit(0x4E) }),
            { commandLine("reg: f5  val: 8") } },
        { "one-command stop list leaves the counter alone", withLists({}, oneCommand, {}),
            [](IVendorStrategy& d) { d.wdt_stop(0x2E); },
            seq({ nuvotonEnter(0x2E), regWrites(0x2E, oneCommand), nuvotonExit(0x2E) }),
            { commandLine("reg: f5  val: 8") } },
        { "handed-over lists are not used for start", handedOnly, [](IVendorStrategy& d) { d.wdt_start(0x2E, 30); },
            builtInStart2E, {} },
        { "handed-over lists are not used for stop", handedOnly, [](IVendorStrategy& d) { d.wdt_stop(0x4E); },
            builtInStop4E, {} },
    };
    expectTraces<NuvotonVendor>(cases);
}

} // namespace
