#include "core/globals.h"
#include "support/daemon_harness.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <random>
#include <unistd.h>

namespace {

using Events = std::vector<std::string>;

// Every feed is whole (nothing between its begin and end), and exactly one
// stop comes after the last feed.
void expectWholeFeedsAndOneFinalStop(const Events& events)
{
    int stops = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].rfind("feed ", 0) == 0) {
            ASSERT_LT(i + 1, events.size());
            EXPECT_EQ(events[i + 1].rfind("fed ", 0), 0u) << "feed " << i << " interrupted by " << events[i + 1];
        }
        if (events[i].rfind("stop ", 0) == 0) {
            ++stops;
            EXPECT_EQ(i + 1, events.size()) << "something ran after the stop";
        }
    }
    EXPECT_EQ(stops, 1);
}

struct SignalRun {
    DaemonHarness harness;
    std::shared_ptr<FakeStrategy> chip = harness.fake("Fintek", "F81866", "0x1010");

    SignalRun() { harness.writeConfig(QStringLiteral("[Global]\nIntervalMs=10\n")); }

    int run()
    {
        chip->answer = [](uint16_t port) { return port == 0x2E; };
        DaemonParts parts;
        parts.makeFintek = [this] { return chip; };
        return harness.run(parts);
    }

    int stopLines() const { return harness.messages().filter(QStringLiteral("Получен сигнал")).size(); }
};

TEST(SignalStop, SignalsFromOutsideDuringALongFeedStopOnceAfterItReturned)
{
    SignalRun run;
    std::atomic<bool> sent { false };
    int feeds = 0;
    run.chip->duringFeed = [&] {
        if (++feeds != 3)
            return;
        // A long feed: a slow serial exchange, say. The signals arrive now.
        for (int i = 0; i < 2000 && !sent; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    };
    std::thread sender([&] {
        blockStopSignals();
        while (run.harness.journal->count("feed") < 3)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::kill(::getpid(), SIGTERM);
        ::kill(::getpid(), SIGINT);
        sent = true;
    });
    const int code = run.run();
    sender.join();

    EXPECT_EQ(code, 0);
    const Events events = run.harness.journal->events();
    expectWholeFeedsAndOneFinalStop(events);
    EXPECT_GE(run.harness.journal->count("fed"), 3); // the long feed ran to its end before the stop
    EXPECT_EQ(run.stopLines(), 1);
    EXPECT_TRUE(run.harness.messages().last().contains(QRegularExpression(
        QStringLiteral("^\\[INFO \\] Получен сигнал (15|2) \\. Остановка Watchdog и выход\\.\\.\\.$"))));
}

TEST(SignalStop, SignalsInsideTheFeedAndDuringTheStopStopOnlyOnce)
{
    SignalRun run;
    int feeds = 0;
    run.chip->duringFeed = [&] {
        if (++feeds == 2) {
            ::raise(SIGINT);
            ::raise(SIGTERM);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    run.chip->duringStop = [] { ::raise(SIGTERM); };
    EXPECT_EQ(run.run(), 0);
    expectWholeFeedsAndOneFinalStop(run.harness.journal->events());
    EXPECT_EQ(run.stopLines(), 1);
}

TEST(SignalStop, SignalDuringArmingStopsAfterArmingCompleted)
{
    SignalRun run;
    run.chip->duringStart = [&] {
        ::raise(SIGTERM);
        run.harness.journal->add("start over");
    };
    EXPECT_EQ(run.run(), 0);
    const Events events = run.harness.journal->events();
    expectWholeFeedsAndOneFinalStop(events);
    const auto over = std::find(events.begin(), events.end(), "start over");
    ASSERT_NE(over, events.end());
    EXPECT_NE(std::find(over, events.end(), "stop Fintek 0x2e"), events.end());
}

TEST(SignalStop, StormOfSignalsAtRandomMomentsStopsOnceWithNoTornFeed)
{
    for (int round = 0; round < 20; ++round) {
        SignalRun run;
        run.chip->duringFeed = [] { std::this_thread::sleep_for(std::chrono::microseconds(300)); };
        std::thread storm([&, round] {
            blockStopSignals();
            std::mt19937 random(round);
            while (run.harness.journal->count("feed") < 2)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
            for (int i = 0; i < 50; ++i) {
                ::kill(::getpid(), i % 2 ? SIGINT : SIGTERM);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
            }
        });
        const int code = run.run();
        storm.join();
        EXPECT_EQ(code, 0) << "round " << round;
        expectWholeFeedsAndOneFinalStop(run.harness.journal->events());
        EXPECT_EQ(run.stopLines(), 1) << "round " << round;
    }
}

TEST(SignalStop, DeadLogReaderOnStandardOutputDoesNotStopTheFeeding)
{
    SignalRun run;
    run.harness.writeConfig(QStringLiteral("[Debug]\nEnabled=on\n[Global]\nIntervalMs=10\n"));
    std::optional<RedirectedStdout> collectorGone(StdoutSink::DeadReader);
    ASSERT_TRUE(collectorGone->ok());
    SignalSender stop(journalHas(run.harness.journal, "fed", 5));
    const int code = run.run();
    collectorGone.reset();

    EXPECT_EQ(code, 0);
    EXPECT_TRUE(stop.met());
    EXPECT_GE(run.harness.messages().count(QStringLiteral("[DEBUG] Таймер сброшен.")), 5);
}

} // namespace
