#pragma once

// Expected port traces, written out from the chips' documented sequences,
// and a runner for tables of driver operations with their exact traces.

#include "sim/fake_platform.h"
#include "strategy/vendor_strategy.h"
#include "support/log_capture.h"
#include "support/qt_printers.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

using Accesses = std::vector<PortAccess>;

inline void PrintTo(const PortAccess& access, std::ostream* out)
{
    char text[32];
    std::snprintf(text, sizeof text, "%s %04x %02x", access.kind == PortAccess::Kind::Write ? "W" : "R", access.port,
        access.value);
    *out << text;
}

inline Accesses seq(std::initializer_list<Accesses> parts)
{
    Accesses all;
    for (const Accesses& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline Accesses repeat(const Accesses& part, int times)
{
    Accesses all;
    for (int i = 0; i < times; ++i)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

/// Bytes written to the index port, as enter and exit keys are.
inline Accesses keyBytes(uint16_t base, std::initializer_list<uint8_t> bytes)
{
    Accesses all;
    for (const uint8_t byte : bytes)
        all.push_back(portWrite(base, byte));
    return all;
}

/// Register @p reg <- @p val: index port, then data port.
inline Accesses regWrite(uint16_t base, uint8_t reg, uint8_t val)
{
    return { portWrite(base, reg), portWrite(static_cast<uint16_t>(base + 1), val) };
}

inline Accesses regWrites(uint16_t base, const RegList& cmds)
{
    Accesses all;
    for (const RegValue& cmd : cmds) {
        const Accesses one = regWrite(base, cmd.reg, cmd.val);
        all.insert(all.end(), one.begin(), one.end());
    }
    return all;
}

/// The chip id read: register 0x20 (high byte) first, then 0x21.
inline Accesses idRead(uint16_t base, uint16_t id)
{
    const uint16_t data = static_cast<uint16_t>(base + 1);
    return { portWrite(base, 0x20), portRead(data, id >> 8), portWrite(base, 0x21), portRead(data, id & 0xFF) };
}

// The fixed keys of the two vendors that have them.
inline Accesses iteEnter(uint16_t base)
{
    return keyBytes(base, { 0x87, 0x01, 0x55, static_cast<uint8_t>(base == 0x2E ? 0x55 : 0xAA) });
}
inline Accesses iteExit(uint16_t base)
{
    return regWrite(base, 0x02, 0x02);
}
inline Accesses nuvotonEnter(uint16_t base)
{
    return keyBytes(base, { 0xA5 });
}
inline Accesses nuvotonExit(uint16_t base)
{
    return keyBytes(base, { 0xAA });
}

/// The log line of one executed command, as captured.
inline QString commandLine(const char* text)
{
    return QStringLiteral("[CRIT ] ") + QLatin1String(text);
}

// One driver operation with the exact port accesses and log lines it must
// produce. setup configures the fresh driver; act is the operation checked.
struct TraceCase {
    const char* what;
    std::function<void(IVendorStrategy&)> setup;
    std::function<void(IVendorStrategy&)> act;
    Accesses expected;
    QStringList logs;
};

using DriverFactory = std::function<std::unique_ptr<IVendorStrategy>()>;

inline void expectTraces(const DriverFactory& make, const std::vector<TraceCase>& cases)
{
    for (const TraceCase& row : cases) {
        FakePlatform bus;
        ScopedPortIo installed(bus);
        const std::unique_ptr<IVendorStrategy> driver = make();
        if (row.setup)
            row.setup(*driver);
        LogCapture log;
        row.act(*driver);
        EXPECT_EQ(bus.trace, row.expected) << row.what;
        EXPECT_EQ(log.lines(), row.logs) << row.what;
    }
}

template <class Driver> void expectTraces(const std::vector<TraceCase>& cases)
{
    expectTraces([] { return std::make_unique<Driver>(); }, cases);
}

inline VendorConfig vendorConfig(const RegList& start, const RegList& stop, const RegList& feed,
    std::vector<uint8_t> enterKey = {}, uint8_t exitKey = 0xAA)
{
    VendorConfig config;
    config.enterKey = std::move(enterKey);
    config.exitKey = exitKey;
    config.startCmds = start;
    config.stopCmds = stop;
    config.feedCmds = feed;
    return config;
}
