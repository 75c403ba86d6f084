// Which candidates start-up builds and probes when the configuration keeps
// the daemon off the serial line or leaves it no usable port, and which feed
// intervals it refuses.

#include "support/daemon_harness.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using Events = std::vector<std::string>;

// A Super I/O candidate and the serial board, fakes that answer nowhere
// until a test says otherwise.
struct TwoCandidates {
    explicit TwoCandidates(DaemonHarness& harness)
        : chip(harness.fake("Fintek", "F81866", "0x1010"))
        , board(harness.fake("Tarvelo", "TV-100", "100"))
        , journal(harness.journal)
    {
    }

    DaemonParts parts()
    {
        DaemonParts parts;
        parts.makeFintek = [this] { return chip; };
        parts.makeSerialBoard = [this](const QSettings&) {
            journal->add("create Tarvelo");
            return board;
        };
        return parts;
    }

    std::shared_ptr<FakeStrategy> chip, board;
    std::shared_ptr<Journal> journal;
};

const QString kNotFound = QStringLiteral("[CRIT ] Поддерживаемое устройство Watchdog не найдено!");

TEST(SerialBoardProbe, OffTheBoardIsNeitherCreatedNorProbed)
{
    DaemonHarness harness;
    harness.writeConfig(QStringLiteral("[Vendor_Tarvelo]\nProbe=off\n"));
    TwoCandidates candidates(harness);
    EXPECT_EQ(harness.run(candidates.parts()), 1);
    EXPECT_EQ(harness.journal->only("create"), Events {});
    EXPECT_EQ(harness.journal->only("probe"), (Events { "probe Fintek 0x2e", "probe Fintek 0x4e" }));
    EXPECT_TRUE(harness.messages().contains(QStringLiteral("[INFO ] === Опрос платы Tarvelo отключен ===")));
    EXPECT_EQ(harness.messages().last(), kNotFound);
}

TEST(SerialBoardProbe, ForcingTheBoardWithTheProbeOffIsRefusedBeforeAnyProbe)
{
    DaemonHarness harness;
    harness.writeConfig(QStringLiteral("[Global]\nForceTarvelo=on\n[Vendor_Tarvelo]\nProbe=0\n"));
    TwoCandidates candidates(harness);
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
        TwoCandidates candidates(harness);
        candidates.chip->answer = [](uint16_t) { return true; };
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
        TwoCandidates candidates(harness);
        candidates.chip->answer = [](uint16_t) { return true; };
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
