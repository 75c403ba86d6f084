#include "core/globals.h"
#include "core/supervisor.h"
#include "support/fake_strategy.h"
#include "support/log_capture.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using Events = std::vector<std::string>;

// One supervisor over fake hardware; the daemon's globals as a test sets them.
struct Supervised {
    explicit Supervised(bool serialBoard, bool withMonitor = true)
        : strategy(std::make_shared<FakeStrategy>(serialBoard ? "Tarvelo" : "Ite", journal))
        , monitor(journal)
        , supervisor({ strategy, 0x4E, 7 }, withMonitor ? &monitor : nullptr, serialBoard, marker(), ::geteuid())
    {
        envEnabled = false;
        envQueryRequest = false;
    }

    QString marker() const { return dir.filePath(QStringLiteral("WDT_TEST")); }

    QTemporaryDir dir;
    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
    std::shared_ptr<FakeStrategy> strategy;
    FakeMonitor monitor;
    Supervisor supervisor;
};

TEST(Supervisor, StartArmsThenTakesTheStartupReadings)
{
    const struct {
        bool serialBoard;
        bool periodicMonitoring;
        Events expected;
    } rows[] = {
        { true, false, { "start Tarvelo 0x4e 7", "static", "dynamic" } },
        // The first monitoring request reads the dynamic channels.
        { true, true, { "start Tarvelo 0x4e 7", "static" } },
        { false, false, { "start Ite 0x4e 7" } },
    };
    for (const auto& row : rows) {
        Supervised supervised(row.serialBoard);
        envEnabled = row.periodicMonitoring;
        supervised.supervisor.start();
        EXPECT_EQ(supervised.journal->events(), row.expected) << row.serialBoard << row.periodicMonitoring;
    }
}

TEST(Supervisor, APendingReadingFollowsTheFeedOnlyForTheSerialBoard)
{
    const struct {
        bool serialBoard;
        bool withMonitor;
        Events expected;
        // With a Super I/O chip there is nothing to read: the request stays.
        bool requestStays;
    } rows[] = {
        { true, true, { "feed Tarvelo 0x4e 7", "fed Tarvelo 0x4e", "dynamic" }, false },
        { true, false, { "feed Tarvelo 0x4e 7", "fed Tarvelo 0x4e" }, false },
        { false, true, { "feed Ite 0x4e 7", "fed Ite 0x4e" }, true },
    };
    for (const auto& row : rows) {
        Supervised supervised(row.serialBoard, row.withMonitor);
        const LogCapture log;
        supervised.supervisor.monitoringTick();
        EXPECT_EQ(supervised.supervisor.feedTick(), Supervisor::Tick::Fed);
        EXPECT_EQ(supervised.journal->events(), row.expected) << row.serialBoard;
        EXPECT_EQ(envQueryRequest, row.requestStays) << row.serialBoard;
        EXPECT_EQ(log.count(QStringLiteral("Запрос считывания датчиков окружения.")), 1);
    }
}

TEST(Supervisor, TestMarkerStopsTheFeedingAndIsRemoved)
{
    Supervised supervised(true);
    QFile marker(supervised.marker());
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    marker.close();
    envQueryRequest = true;
    const LogCapture log;
    EXPECT_EQ(supervised.supervisor.feedTick(), Supervisor::Tick::FeedingStopped);
    EXPECT_TRUE(supervised.journal->events().empty());
    EXPECT_FALSE(QFile::exists(supervised.marker()));
    EXPECT_EQ(log.lines(),
        QStringList {
            QStringLiteral("[WARN ] !!! ТЕСТОВЫЙ РЕЖИМ !!! Кормление остановлено. Ожидание перезагрузки...") });
}

TEST(Supervisor, StopDisarmsOnceAndNothingIsFedAfterIt)
{
    Supervised supervised(false);
    const LogCapture log;
    supervised.supervisor.stop(15);
    EXPECT_EQ(supervised.supervisor.feedTick(), Supervisor::Tick::FeedingStopped);
    EXPECT_EQ(supervised.journal->events(), Events { "stop Ite 0x4e" });
    EXPECT_EQ(log.lines(), QStringList { QStringLiteral("[INFO ] Получен сигнал 15 . Остановка Watchdog и выход...") });
}

} // namespace
