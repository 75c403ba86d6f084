// The whole daemon, from configuration file to exit code, with the real
// Super I/O drivers working simulated chips through the port layer.

#include "core/daemon.h"
#include "core/globals.h"
#include "sim/superio_simulator.h"
#include "superio/fintek_vendor.h"
#include "superio/ite_vendor.h"
#include "superio/nuvoton_vendor.h"
#include "support/daemon_harness.h"

#include "port_traces.h"

#include <QFile>

#include <csignal>
#include <random>

namespace {

// The daemon with a bus of simulated chips in place of the harness's empty one.
struct SimulatedMachine {
    SimulatedMachine() { harness.useBus(bus); }

    DaemonHarness harness;
    SuperIoBus bus;

    int run() { return harness.run(superIoParts()); }
    // Runs the daemon and stops it with SIGTERM once @p chip has seen
    // @p sessions configuration sessions, which the run must reach.
    int runUntil(const SimulatedSuperIo& chip, int sessions)
    {
        SignalSender stop([&chip, sessions] { return chip.sessions() >= sessions; });
        const int code = run();
        EXPECT_TRUE(stop.met()) << sessions << " sessions";
        return code;
    }
};

// Probes of the three drivers where no chip of theirs answers; the Fintek
// driver has no key unless one is configured, and 0xAA is the file's
// default exit key.
Accesses fintekProbeUnkeyed(uint16_t base)
{
    return seq({ idRead(base, 0xFFFF), keyBytes(base, { 0xAA }) });
}
Accesses iteProbe(uint16_t base, uint16_t id = 0xFFFF)
{
    return seq({ iteEnter(base), idRead(base, id), iteExit(base) });
}
Accesses nuvotonProbe(uint16_t base, uint16_t id = 0xFFFF)
{
    return seq({ nuvotonEnter(base), idRead(base, id), nuvotonExit(base) });
}

// The trace of a supervised run must be the probes, the start, some feeds
// and one stop, every block whole and nothing in between. Returns the
// number of feeds.
int expectSupervisedRun(
    const Accesses& trace, const Accesses& probes, const Accesses& start, const Accesses& feed, const Accesses& stop)
{
    const long rest = static_cast<long>(trace.size() - probes.size() - start.size() - stop.size());
    const int feeds = rest > 0 ? static_cast<int>(rest / static_cast<long>(feed.size())) : 0;
    EXPECT_EQ(trace, seq({ probes, start, repeat(feed, feeds), stop }));
    return feeds;
}

const QString kStopLine = QStringLiteral("[INFO ] Получен сигнал 15 . Остановка Watchdog и выход...");

Accesses iteStart(uint16_t base, uint8_t timeout)
{
    return seq({ iteEnter(base), regWrite(base, 0x07, 0x07), regWrite(base, 0x72, 0x80), regWrite(base, 0x74, timeout),
        iteExit(base) });
}
Accesses iteStop(uint16_t base)
{
    return seq({ iteEnter(base), regWrite(base, 0x07, 0x07), regWrite(base, 0x74, 0x00), iteExit(base) });
}

TEST(SuperIoSupervision, IteChipAtTheSecondPort)
{
    SimulatedMachine machine;
    machine.harness.writeConfig(QStringLiteral("[Debug]\nEnabled=on\n[Global]\nScanPorts=0x2E,0x4E\nIntervalMs=20\n"));
    SimulatedSuperIo& chip = machine.bus.add(SimulatedSuperIo::ite(0x4E, 0x8728));
    // The probe, the start and four feeds.
    EXPECT_EQ(machine.runUntil(chip, 6), 0);

    // Every candidate at 0x2E before any at 0x4E; the ITE driver answers
    // there, so the Nuvoton driver is never asked.
    const Accesses probes = seq({ fintekProbeUnkeyed(0x2E), iteProbe(0x2E), nuvotonProbe(0x2E),
        fintekProbeUnkeyed(0x4E), iteProbe(0x4E, 0x8728) });
    const int feeds
        = expectSupervisedRun(machine.bus.trace, probes, iteStart(0x4E, 1), iteStart(0x4E, 1), iteStop(0x4E));
    EXPECT_GE(feeds, 4);

    const QStringList messages = machine.harness.messages();
    EXPECT_TRUE(
        messages.contains(QStringLiteral("[INFO ] Обнаружено устройство: \"Ite\" Модель: \"IT8728F\" ( \"0x8728\" )")));
    EXPECT_TRUE(
        messages.contains(QStringLiteral("[INFO ] Запуск Watchdog. Интервал кормления: 20 мс, Таймаут: 1 сек.")));
    EXPECT_EQ(messages.count(QStringLiteral("[DEBUG] Таймер сброшен.")), feeds);
    EXPECT_EQ(messages.filter(QStringLiteral("[CRIT ]")), QStringList());
    EXPECT_EQ(messages.last(), kStopLine);
    EXPECT_FALSE(chip.unlocked());
    EXPECT_EQ(chip.reg(0x07, 0x74), 0x00);
}

TEST(SuperIoSupervision, FintekChipDrivenByTheConfiguration)
{
    SimulatedMachine machine;
    machine.harness.writeConfig(QStringLiteral("[Global]\nIntervalMs=5000\n"
                                               "[Vendor_Fintek]\nEnterKey=0x87,0x87\nExitKey=0xAA\n"
                                               "StartCmds=0x07:0x07,0x30:0x01,0xF5:0x20\n"
                                               "StopCmds=0x07:0x07,0xF5:0x00\n"
                                               "FeedCmds=0x07:0x07,0xF5:0x20\n"
                                               "[F81866]\nIntervalMs=20\nFeedCmds=0x07:0x07\n"));
    SimulatedSuperIo& chip = machine.bus.add(SimulatedSuperIo::fintek(0x2E, 0x1010));
    EXPECT_EQ(machine.runUntil(chip, 6), 0);

    const Accesses enter = keyBytes(0x2E, { 0x87, 0x87 });
    const Accesses exit = keyBytes(0x2E, { 0xAA });
    const Accesses probes = seq({ enter, idRead(0x2E, 0x1010), exit });
    const Accesses start = seq(
        { enter, regWrites(0x2E, { { 0x07, 0x07 }, { 0x30, 0x01 }, { 0xF5, 0x20 } }), regWrite(0x2E, 0xF6, 1), exit });
    // The model section's feed list, not the vendor section's.
    const Accesses feed = seq({ enter, regWrite(0x2E, 0x07, 0x07), regWrite(0x2E, 0xF6, 1), exit });
    const Accesses stopping = seq({ enter, regWrites(0x2E, { { 0x07, 0x07 }, { 0xF5, 0x00 } }), exit });
    const int feeds = expectSupervisedRun(machine.bus.trace, probes, start, feed, stopping);
    EXPECT_GE(feeds, 4);

    const QStringList messages = machine.harness.messages();
    const int detected = messages.indexOf(
        QStringLiteral("[INFO ] Обнаружено устройство: \"Fintek\" Модель: \"F81866\" ( \"0x1010\" )"));
    ASSERT_GE(detected, 0);
    QStringList expected {
        QStringLiteral("[INFO ] Запуск Watchdog. Интервал кормления: 20 мс, Таймаут: 1 сек."),
        commandLine("reg: 7  val: 7"),
        commandLine("reg: 30  val: 1"),
        commandLine("reg: f5  val: 20"),
        QStringLiteral("[INFO ] *****************"),
        QString(),
    };
    for (int i = 0; i < feeds; ++i)
        expected << commandLine("reg: 7  val: 7");
    expected << kStopLine << commandLine("reg: 7  val: 7") << commandLine("reg: f5  val: 0");
    EXPECT_EQ(messages.mid(detected + 1), expected);

    // The chip as the run left it: watchdog device active, disabled by the
    // stop list, the counter as the last feed wrote it.
    EXPECT_EQ(chip.reg(0x07, 0x30), 0x01);
    EXPECT_EQ(chip.reg(0x07, 0xF5), 0x00);
    EXPECT_EQ(chip.reg(0x07, 0xF6), 1);
    EXPECT_FALSE(chip.unlocked());
}

TEST(SuperIoSupervision, NuvotonChipWithAnEmptyStartListInItsModelSection)
{
    SimulatedMachine machine;
    machine.harness.writeConfig(QStringLiteral("[Global]\nScanPorts=0x2E\nIntervalMs=20\n"
                                               "[Vendor_Nuvoton]\nStopCmds=0x07:0x08,0x30:0x00\n"
                                               "[NCT6791D]\nStartCmds=\n"));
    SimulatedSuperIo& chip = machine.bus.add(SimulatedSuperIo::nuvoton(0x2E, 0xC563));
    EXPECT_EQ(machine.runUntil(chip, 5), 0);

    const Accesses probes = seq({ fintekProbeUnkeyed(0x2E), iteProbe(0x2E), nuvotonProbe(0x2E, 0xC563) });
    const Accesses start = seq({ nuvotonEnter(0x2E), regWrite(0x2E, 0x07, 0x08), regWrite(0x2E, 0x30, 0x01),
        regWrite(0x2E, 0xF5, 0x00), regWrite(0x2E, 0xF6, 1), nuvotonExit(0x2E) });
    const Accesses stopping
        = seq({ nuvotonEnter(0x2E), regWrites(0x2E, { { 0x07, 0x08 }, { 0x30, 0x00 } }), nuvotonExit(0x2E) });
    EXPECT_GE(expectSupervisedRun(machine.bus.trace, probes, start, start, stopping), 3);

    const QStringList messages = machine.harness.messages();
    EXPECT_TRUE(messages.contains(
        QStringLiteral("[INFO ] Обнаружено устройство: \"Nuvoton/Winbond\" Модель: \"NCT6791D\" ( \"0xc563\" )")));
    EXPECT_EQ(messages.mid(messages.size() - 3),
        (QStringList { kStopLine, commandLine("reg: 7  val: 8"), commandLine("reg: 30  val: 0") }));
    EXPECT_EQ(messages.filter(QStringLiteral("[CRIT ]")).size(), 2);
    EXPECT_EQ(chip.reg(0x08, 0x30), 0x00);
    EXPECT_FALSE(chip.unlocked());
}

TEST(SuperIoSupervision, NoChipAnywhere)
{
    SimulatedMachine machine;
    EXPECT_EQ(machine.run(), 1);
    EXPECT_EQ(machine.bus.trace,
        seq({ fintekProbeUnkeyed(0x2E), iteProbe(0x2E), nuvotonProbe(0x2E), fintekProbeUnkeyed(0x4E), iteProbe(0x4E),
            nuvotonProbe(0x4E) }));
    EXPECT_EQ(
        machine.harness.messages().last(), QStringLiteral("[CRIT ] Поддерживаемое устройство Watchdog не найдено!"));
}

TEST(SuperIoSupervision, LoadedKernelDriversOfTheSamePortsAreWarnedAboutOnly)
{
    const char* const modules = "nct6775 81920 0 - Live 0x0\next4 737280 1 - Live 0x0\nit87_wdt 16384 0 - Live 0x0\n";
    const QStringList warnings {
        QStringLiteral("[WARN ] Kernel module \"it87_wdt\" is loaded and also uses the Super I/O configuration "
                       "ports: its accesses can interleave with the watchdog's and send them to the wrong "
                       "register; unload or blacklist it"),
        QStringLiteral("[WARN ] Kernel module \"nct6775\" is loaded and also uses the Super I/O configuration "
                       "ports: its accesses can interleave with the watchdog's and send them to the wrong "
                       "register; unload or blacklist it"),
    };

    SimulatedMachine machine;
    machine.harness.writeConfig(QStringLiteral("[Global]\nScanPorts=0x2E\nIntervalMs=20\n"));
    QFile file(MODULES_FILE);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(modules);
    file.close();
    SimulatedSuperIo& chip = machine.bus.add(SimulatedSuperIo::ite(0x2E, 0x8721));
    EXPECT_EQ(machine.runUntil(chip, 4), 0);

    // Warned before the first probe; detection and feeding as ever.
    const QStringList messages = machine.harness.messages();
    const int detected
        = messages.indexOf(QStringLiteral("[INFO ] Обнаружено устройство: \"Ite\" Модель: \"IT8721F\" ( \"0x8721\" )"));
    ASSERT_GE(detected, 2);
    EXPECT_EQ(messages.mid(detected - 2, 2), warnings);
    EXPECT_EQ(messages.filter(QStringLiteral("[WARN ]")), warnings);
    EXPECT_GE(expectSupervisedRun(machine.bus.trace, seq({ fintekProbeUnkeyed(0x2E), iteProbe(0x2E, 0x8721) }),
                  iteStart(0x2E, 1), iteStart(0x2E, 1), iteStop(0x2E)),
        2);
}

TEST(SuperIoSupervision, ForcedSerialBoardLeavesThePortsAndTheModuleListAlone)
{
    SimulatedMachine machine;
    machine.harness.writeConfig(QStringLiteral("[Global]\nForceTarvelo=on\n"));
    QFile file(MODULES_FILE);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("it87_wdt 16384 0 - Live 0x0\n");
    file.close();
    machine.bus.add(SimulatedSuperIo::ite(0x2E, 0x8728));

    EXPECT_EQ(machine.run(), 1);
    EXPECT_TRUE(machine.bus.trace.empty());
    EXPECT_EQ(machine.harness.messages().filter(QStringLiteral("[WARN ]")), QStringList());
}

// SIGTERM raised at random points inside feed sequences (and a second one a
// little later, inside the same feed, a later one or the stop): the stop
// must wait for the running sequence and come exactly once, after the last
// feed, whole.
TEST(SuperIoSupervision, SignalsDuringFeedsNeverTearASequence)
{
    constexpr int kRuns = 150;
    std::mt19937 random(20261207);
    const Accesses probes = seq({ fintekProbeUnkeyed(0x2E), iteProbe(0x2E, 0x8728) });
    const Accesses feed = iteStart(0x2E, 1);
    int deliveries = 0;

    for (int run = 0; run < kRuns && !::testing::Test::HasFailure(); ++run) {
        SimulatedMachine machine;
        machine.harness.writeConfig(QStringLiteral("[Global]\nScanPorts=0x2E\nIntervalMs=1\n"));
        machine.bus.add(SimulatedSuperIo::ite(0x2E, 0x8728));
        // Access numbers (1-based) after which a signal arrives: the first
        // inside one of the first three feeds, the second up to 20 later.
        const size_t first = probes.size() + feed.size() + 1 + random() % (3 * feed.size());
        const size_t second = first + 1 + random() % 20;
        machine.bus.onAccess = [&](const PortAccess&) {
            const size_t done = machine.bus.trace.size();
            if (done == first || done == second) {
                ++deliveries;
                ::raise(SIGTERM);
            }
        };
        // Ends a run that never reached its signal.
        SignalSender backstop([] { return false; }, SIGTERM, std::chrono::milliseconds(0), std::chrono::seconds(10));

        EXPECT_EQ(machine.run(), 0) << "run " << run;
        const int feeds = expectSupervisedRun(machine.bus.trace, probes, iteStart(0x2E, 1), feed, iteStop(0x2E));
        EXPECT_GE(static_cast<size_t>(feeds + 1) * feed.size() + probes.size(), first) << "run " << run;
        EXPECT_EQ(machine.harness.messages().filter(QStringLiteral("Получен сигнал")).size(), 1) << "run " << run;
    }
    EXPECT_GE(deliveries, kRuns + kRuns / 2);
}

} // namespace
