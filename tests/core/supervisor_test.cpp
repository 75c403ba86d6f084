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

// One supervisor over fake hardware, on a clock the test moves; the
// daemon's globals as a test sets them.
struct Supervised {
    explicit Supervised(bool serialBoard, bool withMonitor = true, int intervalMs = 1000)
        : strategy(std::make_shared<FakeStrategy>(serialBoard ? "Tarvelo" : "Ite", journal))
        , monitor(journal)
        , supervisor({ strategy, 0x4E, 7, intervalMs }, withMonitor ? &monitor : nullptr, serialBoard, marker(),
              ::geteuid(), [this] { return now; })
    {
        envEnabled = false;
        envQueryRequest = false;
    }

    QString marker() const { return dir.filePath(QStringLiteral("WDT_TEST")); }
    void readWhatFits()
    {
        while (supervisor.readNext()) { }
    }

    QTemporaryDir dir;
    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
    std::shared_ptr<FakeStrategy> strategy;
    FakeMonitor monitor;
    qint64 now = 0;
    Supervisor supervisor;
};

TEST(Supervisor, StartArmsThenTakesTheStartupReadings)
{
    const struct {
        bool serialBoard;
        bool periodicMonitoring;
        Events expected;
    } rows[] = {
        { true, false, { "start Tarvelo 0x4e 7", "static 0", "dynamic 0" } },
        // The first monitoring request reads the dynamic channels.
        { true, true, { "start Tarvelo 0x4e 7", "static 0" } },
        { false, false, { "start Ite 0x4e 7" } },
    };
    for (const auto& row : rows) {
        Supervised supervised(row.serialBoard);
        envEnabled = row.periodicMonitoring;
        const LogCapture log;
        supervised.supervisor.start();
        supervised.readWhatFits();
        EXPECT_EQ(supervised.journal->events(), row.expected) << row.serialBoard << row.periodicMonitoring;
        EXPECT_EQ(log.lines().last(), QStringLiteral("[INFO ] *****************\n"));
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
        { true, true, { "feed Tarvelo 0x4e 7", "fed Tarvelo 0x4e", "dynamic 0" }, false },
        { true, false, { "feed Tarvelo 0x4e 7", "fed Tarvelo 0x4e" }, false },
        { false, true, { "feed Ite 0x4e 7", "fed Ite 0x4e" }, true },
    };
    for (const auto& row : rows) {
        Supervised supervised(row.serialBoard, row.withMonitor);
        const LogCapture log;
        supervised.supervisor.monitoringTick();
        EXPECT_EQ(supervised.supervisor.feedTick(), Supervisor::Tick::Fed);
        supervised.readWhatFits();
        EXPECT_EQ(supervised.journal->events(), row.expected) << row.serialBoard;
        EXPECT_EQ(envQueryRequest, row.requestStays) << row.serialBoard;
        EXPECT_EQ(log.count(QStringLiteral("Запрос считывания датчиков окружения.")), 1);
    }
}

// Feeds come when due, readings take what the row says; every reading must
// end before the next feed is due, unless the interval is too short for any.
TEST(Supervisor, ReadingsFitBetweenFeedsAndTheRestFollowTheNextFeed)
{
    const struct {
        const char* name;
        int intervalMs;
        int worstCaseMs;
        int readingTakesMs;
        Events expected;
        bool feedMayBeLate;
        bool startupEnded;
    } rows[] = {
        { "three readings fit an interval", 1000, 250, 250,
            { "start Tarvelo 0x4e 7", "static 0", "static 1", "dynamic 0", "feed Tarvelo 0x4e 7", "fed Tarvelo 0x4e",
                "dynamic 1", "dynamic 2", "dynamic 3", "feed Tarvelo 0x4e 7", "fed Tarvelo 0x4e" },
            false, true },
        // The budget goes by the worst case, not by how long readings took.
        { "quicker than the worst case", 1000, 450, 300,
            { "start Tarvelo 0x4e 7", "static 0", "static 1", "feed Tarvelo 0x4e 7", "fed Tarvelo 0x4e", "dynamic 0",
                "dynamic 1", "feed Tarvelo 0x4e 7", "fed Tarvelo 0x4e", "dynamic 2", "dynamic 3", "feed Tarvelo 0x4e 7",
                "fed Tarvelo 0x4e" },
            false, true },
        { "interval shorter than a reading: one per feed", 200, 400, 400,
            { "start Tarvelo 0x4e 7", "static 0", "feed Tarvelo 0x4e 7", "fed Tarvelo 0x4e", "static 1",
                "feed Tarvelo 0x4e 7", "fed Tarvelo 0x4e", "dynamic 0", "feed Tarvelo 0x4e 7", "fed Tarvelo 0x4e" },
            true, false },
    };
    for (const auto& row : rows) {
        Supervised supervised(true, true, row.intervalMs);
        supervised.monitor.staticChannels = 2;
        supervised.monitor.dynamicChannels = 4;
        supervised.monitor.worstCaseMs = row.worstCaseMs;
        supervised.monitor.duringReading = [&] { supervised.now += row.readingTakesMs; };
        const LogCapture log;
        supervised.supervisor.start();
        qint64 nextFeed = row.intervalMs;
        for (int feeds = 0; supervised.journal->events().size() < row.expected.size(); ++feeds) {
            ASSERT_LT(feeds, 10) << row.name;
            supervised.readWhatFits();
            if (!row.feedMayBeLate) {
                EXPECT_LE(supervised.now, nextFeed) << row.name;
            }
            supervised.now = std::max(supervised.now, nextFeed);
            nextFeed = supervised.now + row.intervalMs;
            supervised.supervisor.feedTick();
        }
        EXPECT_EQ(supervised.journal->events(), row.expected) << row.name;
        // The start-up ends with its readings, whenever they were done.
        EXPECT_EQ(log.count(QStringLiteral("*****************")), row.startupEnded ? 1 : 0) << row.name;
    }
}

TEST(Supervisor, RequestDuringASweepWaitsForItsEnd)
{
    Supervised supervised(true);
    envEnabled = true;
    supervised.monitor.dynamicChannels = 3;
    // One reading per interval.
    supervised.monitor.worstCaseMs = 600;
    supervised.monitor.duringReading = [&] { supervised.now += 600; };
    supervised.supervisor.start();
    supervised.readWhatFits(); // the static channel
    for (int tick = 1; tick <= 3; ++tick) {
        supervised.now = tick * 1000;
        supervised.supervisor.monitoringTick();
        supervised.supervisor.feedTick();
        supervised.readWhatFits();
    }
    // One sweep started at the first feed and took three; the requests of
    // the second and third feed became one, waiting for the fourth.
    EXPECT_EQ(supervised.journal->count("dynamic"), 3);
    EXPECT_TRUE(envQueryRequest);
    supervised.now = 4000;
    supervised.supervisor.feedTick();
    supervised.readWhatFits();
    EXPECT_EQ(supervised.journal->count("dynamic 0"), 2);
    EXPECT_FALSE(envQueryRequest);
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

// A closed gate stops the feeding as test mode does, but says so as itself,
// whether it says false at a tick or closes between ticks; a gate that closes
// itself while it is asked still counts once.
TEST(Supervisor, AClosedFeedGateStopsTheFeedingForGood)
{
    struct Observer : SupervisorObserver {
        void feedingStopped() override { ++testModeStops; }
        void feedGateClosed() override { ++gateStops; }
        int testModeStops = 0;
        int gateStops = 0;
    };
    enum class Closing { AtTheTick, BetweenTicks, WhileAsked };
    for (const Closing closing : { Closing::AtTheTick, Closing::BetweenTicks, Closing::WhileAsked }) {
        Supervised supervised(true);
        Observer observer;
        supervised.supervisor.addObserver(&observer);
        const LogCapture log;
        bool open = true;
        supervised.supervisor.setFeedGate([&] {
            if (!open && closing == Closing::WhileAsked)
                supervised.supervisor.closeFeedGate();
            return open;
        });
        EXPECT_EQ(supervised.supervisor.feedTick(), Supervisor::Tick::Fed);
        open = false;
        if (closing == Closing::BetweenTicks)
            supervised.supervisor.closeFeedGate();
        EXPECT_EQ(supervised.supervisor.feedTick(), Supervisor::Tick::FeedingStopped);
        open = true;
        EXPECT_EQ(supervised.supervisor.feedTick(), Supervisor::Tick::FeedingStopped);
        EXPECT_EQ(supervised.journal->count("feed"), 1) << int(closing);
        EXPECT_EQ(supervised.supervisor.feedingStop(), Supervisor::FeedingStop::Gate);
        EXPECT_EQ(observer.gateStops, 1) << int(closing);
        EXPECT_EQ(observer.testModeStops, 0);
    }
}

TEST(Supervisor, StopDisarmsOnceAndNothingIsFedOrReadAfterIt)
{
    Supervised supervised(true);
    supervised.monitor.staticChannels = 2;
    supervised.supervisor.start();
    const LogCapture log;
    supervised.supervisor.stop(15);
    EXPECT_EQ(supervised.supervisor.feedTick(), Supervisor::Tick::FeedingStopped);
    EXPECT_FALSE(supervised.supervisor.readNext());
    EXPECT_EQ(supervised.journal->events(), (Events { "start Tarvelo 0x4e 7", "stop Tarvelo 0x4e" }));
    EXPECT_EQ(log.lines(), QStringList { QStringLiteral("[INFO ] Получен сигнал 15 . Остановка Watchdog и выход...") });
}

} // namespace
