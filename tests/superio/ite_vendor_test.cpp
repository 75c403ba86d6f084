#include "superio/ite_vendor.h"
#include "sim/superio_simulator.h"

#include "port_traces.h"

namespace {

struct Identity {
    uint16_t id;
    bool accepted;
    const char* model;
    const char* code;
};

TEST(IteVendor, IdentifiesChipsByTableAndFamilyAtEitherBase)
{
    const Identity rows[] = {
        { 0x8712, true, "IT8712F", "0x8712" },
        { 0x8718, true, "IT8718F", "0x8718" },
        { 0x8720, true, "IT8720F", "0x8720" },
        { 0x8721, true, "IT8721F", "0x8721" },
        { 0x8728, true, "IT8728F", "0x8728" },
        { 0x8772, true, "IT8772E", "0x8772" },
        { 0x8613, true, "IT8613E", "0x8613" },
        { 0x8620, true, "IT8620E", "0x8620" },
        { 0x8628, true, "IT8628E", "0x8628" },
        // Unlisted ids of the 0x86 and 0x87 families are accepted unnamed.
        { 0x8783, true, "Generic_Ite", "***" },
        { 0x8729, true, "Generic_Ite", "***" },
        { 0x8600, true, "Generic_Ite", "***" },
        { 0x86FF, true, "Generic_Ite", "***" },
        { 0x8800, false, "Generic_Ite", "***" },
        { 0x8528, false, "Generic_Ite", "***" },
        { 0x0704, false, "Generic_Ite", "***" },
        { 0x0000, false, "Generic_Ite", "***" },
        { 0xFFFF, false, "Generic_Ite", "***" },
    };
    for (const uint16_t base : { 0x2E, 0x4E }) {
        for (const Identity& row : rows) {
            SuperIoBus bus;
            ScopedPortIo installed(bus);
            bus.add(SimulatedSuperIo::ite(base, row.id));
            IteVendor driver;
            driver.setConfig(VendorConfig {});
            LogCapture log;

            EXPECT_EQ(driver.probe(base), row.accepted) << std::hex << row.id << " at " << base;
            EXPECT_EQ(driver.model(), row.model) << std::hex << row.id;
            EXPECT_EQ(driver.model_code(), row.code) << std::hex << row.id;
            EXPECT_EQ(bus.trace, seq({ iteEnter(base), idRead(base, row.id), iteExit(base) })) << std::hex << row.id;
            EXPECT_TRUE(log.lines().isEmpty());
        }
    }
}

TEST(IteVendor, OnlyATableMatchRenamesTheModel)
{
    SuperIoBus bus;
    ScopedPortIo installed(bus);
    bus.add(SimulatedSuperIo::ite(0x2E, 0x8728));
    bus.add(SimulatedSuperIo::ite(0x4E, 0x8783));
    IteVendor driver;

    EXPECT_FALSE(driver.probe(0x60));
    EXPECT_EQ(driver.model(), "Generic_Ite");
    EXPECT_TRUE(driver.probe(0x2E));
    EXPECT_TRUE(driver.probe(0x4E));
    EXPECT_FALSE(driver.probe(0x60));
    EXPECT_EQ(driver.model(), "IT8728F");
    EXPECT_EQ(driver.model_code(), "0x8728");
}

TEST(IteVendor, ChipAccessSequences)
{
    const RegList oneCommand { { 0x72, 0xC0 } };
    const RegList handed { { 0x07, 0x0A }, { 0x30, 0x01 } };
    auto withLists = [](RegList start, RegList stop, RegList feed) {
        // The keys of the record are not the chip's: they must play no part.
        return [=](IVendorStrategy& d) { d.setConfig(vendorConfig(start, stop, feed, { 0x87, 0x87 }, 0xAA)); };
    };
    auto handedOnly = [=](IVendorStrategy& d) {
        d.setConfig(VendorConfig {});
        d.setCommands(handed, handed, handed);
    };
    const Accesses builtInStart2E = seq({ iteEnter(0x2E), regWrite(0x2E, 0x07, 0x07), regWrite(0x2E, 0x72, 0x80),
        regWrite(0x2E, 0x74, 30), iteExit(0x2E) });
    const std::vector<TraceCase> cases = {
        { "built-in start at 0x2e", withLists({}, {}, {}), [](IVendorStrategy& d) { d.wdt_start(0x2E, 30); },
            builtInStart2E, {} },
        { "a feed is the start sequence", withLists({}, {}, {}), [](IVendorStrategy& d) { d.wdt_feed(0x2E, 30); },
            builtInStart2E, {} },
        { "built-in stop at 0x4e", withLists({}, {}, {}), [](IVendorStrategy& d) { d.wdt_stop(0x4E); },
            seq({ iteEnter(0x4E), regWrite(0x4E, 0x07, 0x07), regWrite(0x4E, 0x74, 0x00), iteExit(0x4E) }), {} },
        { "one-command start list keeps the counter write", withLists(oneCommand, {}, {}),
            [](IVendorStrategy& d) { d.wdt_start(0x4E, 255); },
            seq({ iteEnter(0x4E), regWrites(0x4E, oneCommand), regWrite(0x4E, 0x74, 0xFF), iteExit(0x4E) }),
            { commandLine("reg: 72  val: c0") } },
        { "a feed logs the start list again", withLists(oneCommand, {}, handed),
            [](IVendorStrategy& d) { d.wdt_feed(0x2E, 3); },
            seq({ iteEnter(0x2E), regWrites(0x2E, oneCommand), regWrite(0x2E, 0x74, 3), iteExit(0x2E) }),
            { commandLine("reg: 72  val: c0") } },
        { "one-command stop list replaces the whole body", withLists({}, oneCommand, {}),
            [](IVendorStrategy& d) { d.wdt_stop(0x2E); },
            seq({ iteEnter(0x2E), regWrites(0x2E, oneCommand), iteExit(0x2E) }), { commandLine("reg: 72  val: c0") } },
        { "handed-over lists are not used for start", handedOnly, [](IVendorStrategy& d) { d.wdt_start(0x2E, 30); },
            builtInStart2E, {} },
        { "handed-over lists are not used for stop", handedOnly, [](IVendorStrategy& d) { d.wdt_stop(0x2E); },
            seq({ iteEnter(0x2E), regWrite(0x2E, 0x07, 0x07), regWrite(0x2E, 0x74, 0x00), iteExit(0x2E) }), {} },
    };
    expectTraces<IteVendor>(cases);
}

} // namespace
