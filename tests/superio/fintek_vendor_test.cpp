// What only the Fintek driver does: keys and every list from the
// configuration. Identification is checked with the other vendors.

#include "sim/superio_simulator.h"
#include "superio/fintek_vendor.h"

#include "port_traces.h"

namespace {

const std::vector<uint8_t> kFintekKey { 0x87, 0x87 };

TEST(FintekVendor, WithoutAKeyALockedChipIsNotSeen)
{
    SuperIoBus bus;
    ScopedPortIo installed(bus);
    bus.add(SimulatedSuperIo::fintek(0x2E, 0x1010));
    FintekVendor driver;
    driver.setConfig(VendorConfig {});

    EXPECT_FALSE(driver.probe(0x2E));
    EXPECT_EQ(bus.trace, seq({ idRead(0x2E, 0xFFFF), keyBytes(0x2E, { 0xAA }) }));
}

TEST(FintekVendor, ChipAccessSequences)
{
    const RegList handedStart { { 0x07, 0x07 }, { 0xF5, 0x20 } };
    const RegList configStart { { 0x07, 0x07 }, { 0x30, 0x01 } };
    const RegList handedStop { { 0xF5, 0x00 } };
    const RegList configStop { { 0x07, 0x07 }, { 0xF5, 0x00 } };
    const RegList handedFeed { { 0x07, 0x07 } };
    const RegList configFeed { { 0xF5, 0x21 } };
    auto configured = [=](std::vector<uint8_t> key, uint8_t exitKey) {
        return [=](IVendorStrategy& driver) {
            driver.setConfig(vendorConfig(configStart, configStop, configFeed, key, exitKey));
        };
    };
    auto keyOnlyWith = [](std::vector<uint8_t> key, uint8_t exitKey) {
        return [=](IVendorStrategy& driver) { driver.setConfig(vendorConfig({}, {}, {}, key, exitKey)); };
    };
    auto configuredAndHanded = [=](const RegList& start, const RegList& stop, const RegList& feed) {
        return [=](IVendorStrategy& driver) {
            driver.setConfig(vendorConfig(configStart, configStop, configFeed, kFintekKey, 0xAA));
            driver.setCommands(start, stop, feed);
        };
    };
    auto counterAt = [](uint8_t reg) {
        return [=](IVendorStrategy& driver) {
            VendorConfig config = vendorConfig({}, {}, {}, kFintekKey, 0xAA);
            config.counterRegister = reg;
            driver.setConfig(config);
        };
    };
    const std::vector<TraceCase> cases = {
        { "configured counter register takes the timeout of the start", counterAt(0xF7),
            [](IVendorStrategy& d) { d.wdt_start(0x2E, 10); },
            seq({ keyBytes(0x2E, { 0x87, 0x87 }), regWrite(0x2E, 0xF7, 10), keyBytes(0x2E, { 0xAA }) }), {} },
        { "and of the feed", counterAt(0xF7), [](IVendorStrategy& d) { d.wdt_feed(0x4E, 3); },
            seq({ keyBytes(0x4E, { 0x87, 0x87 }), regWrite(0x4E, 0xF7, 3), keyBytes(0x4E, { 0xAA }) }), {} },
        { "two-byte key, no lists: the counter alone", keyOnlyWith({ 0x26, 0x87 }, 0x5A),
            [](IVendorStrategy& d) { d.wdt_start(0x2E, 10); },
            seq({ keyBytes(0x2E, { 0x26, 0x87 }), regWrite(0x2E, 0xF6, 10), keyBytes(0x2E, { 0x5A }) }), {} },
        { "no lists: the feed is the counter alone too", keyOnlyWith({ 0x87, 0x87 }, 0xAA),
            [](IVendorStrategy& d) { d.wdt_feed(0x4E, 255); },
            seq({ keyBytes(0x4E, { 0x87, 0x87 }), regWrite(0x4E, 0xF6, 0xFF), keyBytes(0x4E, { 0xAA }) }), {} },
        { "no stop lists: unlock and lock only", keyOnlyWith({ 0x87, 0x87 }, 0xAA),
            [](IVendorStrategy& d) { d.wdt_stop(0x2E); }, keyBytes(0x2E, { 0x87, 0x87, 0xAA }), {} },
        { "never configured: no key, exit byte 0", nullptr, [](IVendorStrategy& d) { d.wdt_start(0x4E, 5); },
            seq({ regWrite(0x4E, 0xF6, 5), keyBytes(0x4E, { 0x00 }) }), {} },
        { "never configured: probe", nullptr, [](IVendorStrategy& d) { d.probe(0x2E); },
            seq({ idRead(0x2E, 0xFFFF), keyBytes(0x2E, { 0x00 }) }), {} },
        { "configured start list, timeout 0 written as 0", configured(kFintekKey, 0xAA),
            [](IVendorStrategy& d) { d.wdt_start(0x2E, 0); },
            seq({ keyBytes(0x2E, { 0x87, 0x87 }), regWrites(0x2E, configStart), regWrite(0x2E, 0xF6, 0),
                keyBytes(0x2E, { 0xAA }) }),
            { commandLine("reg: 7  val: 7"), commandLine("reg: 30  val: 1") } },
        { "handed-over start list wins over the configured one", configuredAndHanded(handedStart, {}, {}),
            [](IVendorStrategy& d) { d.wdt_start(0x2E, 7); },
            seq({ keyBytes(0x2E, { 0x87, 0x87 }), regWrites(0x2E, handedStart), regWrite(0x2E, 0xF6, 7),
                keyBytes(0x2E, { 0xAA }) }),
            { commandLine("reg: 7  val: 7"), commandLine("reg: f5  val: 20") } },
        { "empty handed-over start list falls back to the configured one",
            configuredAndHanded({}, handedStop, handedFeed), [](IVendorStrategy& d) { d.wdt_start(0x2E, 7); },
            seq({ keyBytes(0x2E, { 0x87, 0x87 }), regWrites(0x2E, configStart), regWrite(0x2E, 0xF6, 7),
                keyBytes(0x2E, { 0xAA }) }),
            { commandLine("reg: 7  val: 7"), commandLine("reg: 30  val: 1") } },
        { "feed runs its own list, not the start list", configuredAndHanded(handedStart, {}, handedFeed),
            [](IVendorStrategy& d) { d.wdt_feed(0x2E, 7); },
            seq({ keyBytes(0x2E, { 0x87, 0x87 }), regWrites(0x2E, handedFeed), regWrite(0x2E, 0xF6, 7),
                keyBytes(0x2E, { 0xAA }) }),
            { commandLine("reg: 7  val: 7") } },
        { "configured feed list when none was handed over", configuredAndHanded(handedStart, handedStop, {}),
            [](IVendorStrategy& d) { d.wdt_feed(0x2E, 7); },
            seq({ keyBytes(0x2E, { 0x87, 0x87 }), regWrites(0x2E, configFeed), regWrite(0x2E, 0xF6, 7),
                keyBytes(0x2E, { 0xAA }) }),
            { commandLine("reg: f5  val: 21") } },
        { "handed-over stop list, no counter write", configuredAndHanded({}, handedStop, {}),
            [](IVendorStrategy& d) { d.wdt_stop(0x4E); },
            seq({ keyBytes(0x4E, { 0x87, 0x87 }), regWrites(0x4E, handedStop), keyBytes(0x4E, { 0xAA }) }),
            { commandLine("reg: f5  val: 0") } },
        { "configured stop list", configuredAndHanded(handedStart, {}, handedFeed),
            [](IVendorStrategy& d) { d.wdt_stop(0x4E); },
            seq({ keyBytes(0x4E, { 0x87, 0x87 }), regWrites(0x4E, configStop), keyBytes(0x4E, { 0xAA }) }),
            { commandLine("reg: 7  val: 7"), commandLine("reg: f5  val: 0") } },
    };
    expectTraces<FintekVendor>(cases);
}

TEST(FintekVendor, SetConfigReplacesTheWholeRecord)
{
    FakePlatform bus;
    ScopedPortIo installed(bus);
    FintekVendor driver;
    driver.setConfig(vendorConfig({ { 0x07, 0x07 } }, {}, {}, kFintekKey, 0xAA));
    driver.setConfig(vendorConfig({}, {}, {}, { 0x55 }, 0x99));
    driver.wdt_start(0x2E, 3);
    EXPECT_EQ(bus.trace, seq({ keyBytes(0x2E, { 0x55 }), regWrite(0x2E, 0xF6, 3), keyBytes(0x2E, { 0x99 }) }));
}

} // namespace
