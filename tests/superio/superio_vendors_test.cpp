// What the three Super I/O drivers share, checked once over all of them:
// identification through their chip tables, and for ITE and Nuvoton the
// built-in bodies that configured lists replace. Keys and registers are
// written out from the chips' documentation; the table rows are the
// daemon's own.

#include "sim/superio_simulator.h"
#include "superio/fintek_vendor.h"
#include "superio/ite_vendor.h"
#include "superio/nuvoton_vendor.h"

#include "port_traces.h"

#include <cstdio>
#include <optional>
#include <utility>

namespace {

template <class Driver> DriverFactory factory()
{
    return [] { return std::make_unique<Driver>(); };
}

std::string modelCode(uint16_t id)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", id);
    return text;
}

// A chip id the driver must name.
struct Named {
    uint16_t id;
    std::string model;
    std::string code;
};

// One probe of a sequence and the model fields after it.
struct ProbeStep {
    uint16_t port;
    bool accepted;
    const char* model;
    const char* code;
};

struct Vendor {
    const char* name;
    DriverFactory make;
    std::unique_ptr<SimulatedSuperIo> (*chip)(uint16_t base, uint16_t chipId);
    VendorConfig config;
    Accesses (*enter)(uint16_t base);
    Accesses (*exit)(uint16_t base);
    const ChipTable* table;
    const char* generic;
    // Table rows the documentation names, and ids outside the table that
    // the vendor's rule accepts (unnamed) or rejects.
    std::vector<Named> named;
    std::vector<uint16_t> unnamed;
    std::vector<uint16_t> rejected;
    // Chips at their bases, then probes across the bases in order.
    std::vector<std::pair<uint16_t, uint16_t>> chips;
    std::vector<ProbeStep> probes;
};

// The keys configured for the Fintek chip in these runs.
Accesses fintekEnter(uint16_t base)
{
    return keyBytes(base, { 0x87, 0x87 });
}
Accesses fintekExit(uint16_t base)
{
    return keyBytes(base, { 0xAA });
}

void PrintTo(const Vendor& vendor, std::ostream* out)
{
    *out << vendor.name;
}

const Vendor kVendors[] = {
    { "Fintek", factory<FintekVendor>(), SimulatedSuperIo::fintek, vendorConfig({}, {}, {}, { 0x87, 0x87 }, 0xAA),
        fintekEnter, fintekExit, &fintek_ids, "Generic_Fintek",
        { { 0x0704, "F81865", "0x0704" }, { 0x1010, "F81866", "0x1010" }, { 0x1901, "F71808E", "0x1901" } },
        // Unlisted ids of the 0x07 and 0x10 families; neighbours of listed
        // ids outside those families.
        { 0x0705, 0x07FF, 0x0700, 0x10AB, 0x1011 },
        { 0x1900, 0x19AB, 0x0406, 0x0408, 0x1107, 0x1410, 0x0804, 0x0000, 0xFFFF },
        { { 0x2E, 0x1010 }, { 0x4E, 0x07FF } },
        {
            { 0x2E, true, "F81866", "0x1010" },
            // By the family rule, then nothing there.
            { 0x4E, true, "F81866", "0x1010" },
            { 0x60, false, "F81866", "0x1010" },
        } },
    { "Ite", factory<IteVendor>(), SimulatedSuperIo::ite, VendorConfig {}, iteEnter, iteExit, &ite_ids, "Generic_Ite",
        { { 0x8728, "IT8728F", "0x8728" } },
        // Unlisted ids of the 0x86 and 0x87 families, and others.
        { 0x8783, 0x8729, 0x8600, 0x86FF }, { 0x8800, 0x8528, 0x0704, 0x0000, 0xFFFF },
        { { 0x2E, 0x8728 }, { 0x4E, 0x8783 } },
        {
            { 0x60, false, "Generic_Ite", "***" },
            { 0x2E, true, "IT8728F", "0x8728" },
            { 0x4E, true, "IT8728F", "0x8728" },
            { 0x60, false, "IT8728F", "0x8728" },
        } },
    { "Nuvoton", factory<NuvotonVendor>(), SimulatedSuperIo::nuvoton, VendorConfig {}, nuvotonEnter, nuvotonExit,
        &nct_ids, "Generic_Nuvoton/Winbond",
        // The revision digit is ignored for the name and kept in the code.
        { { 0xC560, "NCT6791D", "0xc560" }, { 0x5200, "W83627HF", "0x5200" }, { 0xC563, "NCT6791D", "0xc563" },
            { 0xB45F, "NCT6776F", "0xb45f" }, { 0xA00A, "W83627DHG", "0xa00a" } },
        // Anything else that answers is taken; an empty bus is not.
        { 0x5217, 0xC570, 0x0704, 0x8712, 0x0001, 0xFFFE }, { 0x0000, 0xFFFF }, { { 0x4E, 0x5201 }, { 0x60, 0x5217 } },
        {
            { 0x4E, true, "W83627HF", "0x5201" },
            { 0x60, true, "W83627HF", "0x5201" },
            { 0x2E, false, "W83627HF", "0x5201" },
        } },
};

class SuperIoVendors : public ::testing::TestWithParam<Vendor> { };

TEST_P(SuperIoVendors, NamesEveryTableRowAndJudgesOtherIdsByItsOwnRule)
{
    const Vendor& vendor = GetParam();
    struct Row {
        uint16_t id;
        bool accepted;
        std::string model;
        std::string code;
    };
    std::vector<Row> rows;
    for (const auto& [id, model] : *vendor.table)
        rows.push_back({ id, true, model, modelCode(id) });
    for (const Named& row : vendor.named)
        rows.push_back({ row.id, true, row.model, row.code });
    for (const uint16_t id : vendor.unnamed)
        rows.push_back({ id, true, vendor.generic, "***" });
    for (const uint16_t id : vendor.rejected)
        rows.push_back({ id, false, vendor.generic, "***" });

    for (const uint16_t base : { 0x2E, 0x4E }) {
        for (const Row& row : rows) {
            SuperIoBus bus;
            ScopedPortIo installed(bus);
            bus.add(vendor.chip(base, row.id));
            const std::unique_ptr<IVendorStrategy> driver = vendor.make();
            driver->setConfig(vendor.config);
            LogCapture log;

            EXPECT_EQ(driver->probe(base), row.accepted) << std::hex << row.id << " at " << base;
            EXPECT_EQ(driver->model(), row.model) << std::hex << row.id;
            EXPECT_EQ(driver->model_code(), row.code) << std::hex << row.id;
            EXPECT_EQ(bus.trace, seq({ vendor.enter(base), idRead(base, row.id), vendor.exit(base) }))
                << std::hex << row.id;
            EXPECT_TRUE(log.lines().isEmpty());
        }
    }
}

TEST_P(SuperIoVendors, OnlyATableMatchRenamesTheModel)
{
    const Vendor& vendor = GetParam();
    SuperIoBus bus;
    ScopedPortIo installed(bus);
    for (const auto& [base, id] : vendor.chips)
        bus.add(vendor.chip(base, id));
    const std::unique_ptr<IVendorStrategy> driver = vendor.make();
    // Drivers with keys of their own are probed without any configuration.
    if (!vendor.config.enterKey.empty())
        driver->setConfig(vendor.config);

    for (const ProbeStep& step : vendor.probes) {
        EXPECT_EQ(driver->probe(step.port), step.accepted) << std::hex << step.port;
        EXPECT_EQ(driver->model(), step.model) << std::hex << step.port;
        EXPECT_EQ(driver->model_code(), step.code) << std::hex << step.port;
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, SuperIoVendors, ::testing::ValuesIn(kVendors), [](const auto& info) { return info.param.name; });

// The vendors with built-in start and stop bodies, written out from the
// chips' documentation, and a list of their own to replace them with.
struct BuiltInVendor {
    const char* name;
    DriverFactory make;
    Accesses (*enter)(uint16_t base);
    Accesses (*exit)(uint16_t base);
    uint8_t counter;
    RegList start;
    RegList stop;
    RegList oneCommand;
    const char* oneCommandLine;
    RegList handed;
};

void PrintTo(const BuiltInVendor& vendor, std::ostream* out)
{
    *out << vendor.name;
}

const BuiltInVendor kBuiltInVendors[] = {
    { "Ite", factory<IteVendor>(), iteEnter, iteExit, 0x74,
        // Device 7, seconds; stopped by a zero counter.
        { { 0x07, 0x07 }, { 0x72, 0x80 } }, { { 0x07, 0x07 }, { 0x74, 0x00 } },
        // A list of one and how it is logged; lists handed over.
        { { 0x72, 0xC0 } }, "reg: 72  val: c0", { { 0x07, 0x0A }, { 0x30, 0x01 } } },
    { "Nuvoton", factory<NuvotonVendor>(), nuvotonEnter, nuvotonExit, 0xF6,
        // Device 8 activated, seconds; stopped by a zero counter.
        { { 0x07, 0x08 }, { 0x30, 0x01 }, { 0xF5, 0x00 } }, { { 0x07, 0x08 }, { 0xF6, 0x00 } },
        // A list of one and how it is logged; lists handed over.
        { { 0xF5, 0x08 } }, "reg: f5  val: 8", { { 0x07, 0x07 }, { 0x30, 0x00 } } },
};

class BuiltInBodies : public ::testing::TestWithParam<BuiltInVendor> { };

TEST_P(BuiltInBodies, ChipAccessSequences)
{
    const BuiltInVendor& vendor = GetParam();
    const auto started = [&](uint16_t base, const RegList& body, uint8_t timeout) {
        return seq(
            { vendor.enter(base), regWrites(base, body), regWrite(base, vendor.counter, timeout), vendor.exit(base) });
    };
    const auto stopped = [&](uint16_t base, const RegList& body) {
        return seq({ vendor.enter(base), regWrites(base, body), vendor.exit(base) });
    };
    const auto withLists = [](RegList start, RegList stop, RegList feed) {
        // The keys of the record are not the chip's: they must play no part.
        return [=](IVendorStrategy& d) { d.setConfig(vendorConfig(start, stop, feed, { 0x87, 0x87 }, 0x55)); };
    };
    const auto handedOnly = [&](IVendorStrategy& d) {
        d.setConfig(VendorConfig {});
        d.setCommands(vendor.handed, vendor.handed, vendor.handed);
    };
    const RegList& one = vendor.oneCommand;
    const QStringList logged { commandLine(vendor.oneCommandLine) };
    const std::vector<TraceCase> cases = {
        { "built-in start at 0x2e", withLists({}, {}, {}), [](IVendorStrategy& d) { d.wdt_start(0x2E, 30); },
            started(0x2E, vendor.start, 30), {} },
        { "a feed is the start sequence", withLists({}, {}, {}), [](IVendorStrategy& d) { d.wdt_feed(0x2E, 30); },
            started(0x2E, vendor.start, 30), {} },
        { "a configured feed list is never run", withLists({}, {}, one),
            [](IVendorStrategy& d) { d.wdt_feed(0x2E, 30); }, started(0x2E, vendor.start, 30), {} },
        { "built-in stop at 0x4e", withLists({}, {}, {}), [](IVendorStrategy& d) { d.wdt_stop(0x4E); },
            stopped(0x4E, vendor.stop), {} },
        { "one-command start list keeps the counter write", withLists(one, {}, {}),
            [](IVendorStrategy& d) { d.wdt_start(0x4E, 255); }, started(0x4E, one, 0xFF), logged },
        { "a feed runs the start list", withLists(one, {}, {}), [](IVendorStrategy& d) { d.wdt_feed(0x4E, 1); },
            started(0x4E, one, 1), logged },
        { "a feed logs the start list again, not the feed list", withLists(one, {}, vendor.handed),
            [](IVendorStrategy& d) { d.wdt_feed(0x2E, 3); }, started(0x2E, one, 3), logged },
        { "one-command stop list replaces the whole body, counter clearing included", withLists({}, one, {}),
            [](IVendorStrategy& d) { d.wdt_stop(0x2E); }, stopped(0x2E, one), logged },
        { "handed-over lists are not used for start", handedOnly, [](IVendorStrategy& d) { d.wdt_start(0x2E, 30); },
            started(0x2E, vendor.start, 30), {} },
        { "handed-over lists are not used for stop at 0x2e", handedOnly, [](IVendorStrategy& d) { d.wdt_stop(0x2E); },
            stopped(0x2E, vendor.stop), {} },
        { "handed-over lists are not used for stop at 0x4e", handedOnly, [](IVendorStrategy& d) { d.wdt_stop(0x4E); },
            stopped(0x4E, vendor.stop), {} },
    };
    expectTraces(vendor.make, cases);
}

// A board whose chip differs from the built-in sequence: a configured enter
// key replaces the built-in one in every sequence, a configured counter
// register takes the timeout and is what the built-in stop clears.
TEST_P(BuiltInBodies, ConfiguredEnterKeyAndCounterRegisterReplaceTheBuiltInOnes)
{
    const BuiltInVendor& vendor = GetParam();
    // The built-in stop without its counter clearing, the last write.
    const RegList select(vendor.stop.begin(), vendor.stop.end() - 1);
    const auto with = [](std::vector<uint8_t> key, bool keyConfigured, std::optional<uint8_t> counter,
                          RegList start = {}, RegList stop = {}) {
        return [=](IVendorStrategy& d) {
            VendorConfig config = vendorConfig(start, stop, {}, key, 0x55);
            config.enterKeyConfigured = keyConfigured;
            config.counterRegister = counter;
            d.setConfig(config);
        };
    };
    const Accesses key8787 = keyBytes(0x2E, { 0x87, 0x87 });
    const RegList& one = vendor.oneCommand;
    const QStringList logged { commandLine(vendor.oneCommandLine) };
    const std::vector<TraceCase> cases = {
        { "configured key opens the probe", with({ 0x87, 0x87 }, true, {}), [](IVendorStrategy& d) { d.probe(0x2E); },
            seq({ key8787, idRead(0x2E, 0xFFFF), vendor.exit(0x2E) }), {} },
        { "configured key opens the start", with({ 0x87, 0x87 }, true, {}),
            [](IVendorStrategy& d) { d.wdt_start(0x2E, 30); },
            seq({ key8787, regWrites(0x2E, vendor.start), regWrite(0x2E, vendor.counter, 30), vendor.exit(0x2E) }),
            {} },
        { "configured key opens the feed", with({ 0x87, 0x87 }, true, {}),
            [](IVendorStrategy& d) { d.wdt_feed(0x2E, 30); },
            seq({ key8787, regWrites(0x2E, vendor.start), regWrite(0x2E, vendor.counter, 30), vendor.exit(0x2E) }),
            {} },
        { "configured key opens the stop", with({ 0x87, 0x87 }, true, {}), [](IVendorStrategy& d) { d.wdt_stop(0x2E); },
            seq({ key8787, regWrites(0x2E, vendor.stop), vendor.exit(0x2E) }), {} },
        { "an empty EnterKey (read as one 0 byte) keeps the built-in key", with({ 0x00 }, false, {}),
            [](IVendorStrategy& d) { d.wdt_stop(0x4E); },
            seq({ vendor.enter(0x4E), regWrites(0x4E, vendor.stop), vendor.exit(0x4E) }), {} },
        { "counter register takes the timeout", with({}, false, 0x73), [](IVendorStrategy& d) { d.wdt_feed(0x4E, 7); },
            seq({ vendor.enter(0x4E), regWrites(0x4E, vendor.start), regWrite(0x4E, 0x73, 7), vendor.exit(0x4E) }),
            {} },
        { "counter register after a configured start list", with({}, false, 0x73, one),
            [](IVendorStrategy& d) { d.wdt_start(0x2E, 255); },
            seq({ vendor.enter(0x2E), regWrites(0x2E, one), regWrite(0x2E, 0x73, 0xFF), vendor.exit(0x2E) }), logged },
        { "built-in stop clears the configured counter", with({}, false, 0x73),
            [](IVendorStrategy& d) { d.wdt_stop(0x2E); },
            seq({ vendor.enter(0x2E), regWrites(0x2E, select), regWrite(0x2E, 0x73, 0), vendor.exit(0x2E) }), {} },
        { "a configured stop list leaves the counter alone", with({}, false, 0x73, {}, one),
            [](IVendorStrategy& d) { d.wdt_stop(0x2E); },
            seq({ vendor.enter(0x2E), regWrites(0x2E, one), vendor.exit(0x2E) }), logged },
    };
    expectTraces(vendor.make, cases);
}

INSTANTIATE_TEST_SUITE_P(
    All, BuiltInBodies, ::testing::ValuesIn(kBuiltInVendors), [](const auto& info) { return info.param.name; });

} // namespace
