// Which candidates start-up builds and probes when the configuration keeps
// the daemon off the serial line or leaves it no usable port, and which feed
// intervals it refuses.

#include "support/daemon_harness.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using Events = std::vector<std::string>;

const QString kNotFound = QStringLiteral("[CRIT ] Поддерживаемое устройство Watchdog не найдено!");

TEST(SerialBoardProbe, OffTheBoardIsNeitherCreatedNorProbed)
{
    DaemonHarness harness;
    harness.writeConfig(QStringLiteral("[Vendor_Tarvelo]\nProbe=off\n"));
    FakeCandidates candidates(harness);
    EXPECT_EQ(harness.run(candidates.parts()), 1);
    EXPECT_EQ(harness.journal->only("create Tarvelo"), Events {});
    EXPECT_EQ(harness.journal->only("probe Tarvelo"), Events {});
    EXPECT_EQ(harness.journal->only("probe Fintek"), (Events { "probe Fintek 0x2e", "probe Fintek 0x4e" }));
    EXPECT_TRUE(harness.messages().contains(QStringLiteral("[INFO ] === Опрос платы Tarvelo отключен ===")));
    EXPECT_EQ(harness.messages().last(), kNotFound);
}

TEST(SerialBoardProbe, ForcingTheBoardWithTheProbeOffIsRefusedBeforeAnyProbe)
{
    DaemonHarness harness;
    harness.writeConfig(QStringLiteral("[Global]\nForceTarvelo=on\n[Vendor_Tarvelo]\nProbe=0\n"));
    FakeCandidates candidates(harness);
    candidates.board->answer = [](uint16_t) { return true; };
    EXPECT_EQ(harness.run(candidates.parts()), 1);
    EXPECT_TRUE(harness.journal->events().empty());
    EXPECT_TRUE(harness.fakePlatform.trace.empty());
    EXPECT_EQ(harness.messages().filter(QStringLiteral("[CRIT ]")),
        QStringList { QStringLiteral(
            "[CRIT ] Принудительный выбор Tarvelo невозможен: опрос платы отключен (Vendor_Tarvelo/Probe)!") });
}

TEST(DaemonDetection, WithoutAUsablePortTheSerialBoardIsStillProbedOnce)
{
    for (const char* ini : { "[Global]\nScanPorts=\n", "[Global]\nScanPorts=zz, 0, 0xFFFF\n",
             "[Global]\nScanPorts=\nForceTarvelo=on\n" }) {
        DaemonHarness harness;
        harness.writeConfig(QString::fromUtf8(ini));
        FakeCandidates candidates(harness);
        candidates.fintek->answer = [](uint16_t) { return true; };
        candidates.board->answer = [](uint16_t) { return true; };
        SignalSender stop(journalHas(harness.journal, "start"));
        EXPECT_EQ(harness.run(candidates.parts()), 0) << ini;
        EXPECT_TRUE(stop.met()) << ini;
        EXPECT_EQ(harness.journal->only("probe"), Events { "probe Tarvelo 0x0" }) << ini;
        EXPECT_EQ(harness.journal->only("start"), Events { "start Tarvelo 0x0 7" }) << ini;
    }
}

TEST(DaemonSupervision, IntervalLeavingLessThanASecondBeforeTheTimeoutIsRefused)
{
    const struct {
        const char* interval;
        int exitCode;
    } rows[] = { { "254000", 0 }, { "254001", 1 }, { "254999", 1 } };
    for (const auto& row : rows) {
        DaemonHarness harness;
        harness.writeConfig(QStringLiteral("[Global]\nIntervalMs=%1\n").arg(QLatin1String(row.interval)));
        FakeCandidates candidates(harness);
        candidates.fintek->answer = [](uint16_t) { return true; };
        // A refused run never starts: the sender's deadline then ends nothing.
        std::optional<SignalSender> stop;
        if (row.exitCode == 0)
            stop.emplace(journalHas(harness.journal, "start"));
        EXPECT_EQ(harness.run(candidates.parts()), row.exitCode) << row.interval;
        EXPECT_EQ(harness.journal->count("start"), row.exitCode == 0 ? 1 : 0) << row.interval;
        EXPECT_EQ(harness.messages().contains(QStringLiteral(
                      "[CRIT ] Интервал кормления слишком велик: таймаут Watchdog не может превышать 255 сек.")),
            row.exitCode == 1)
            << row.interval;
    }
}

} // namespace
