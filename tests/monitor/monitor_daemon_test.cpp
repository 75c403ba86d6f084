#include "core/candidates.h"
#include "core/globals.h"
#include "sim/board_simulator.h"
#include "support/daemon_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Reply = BoardSimulator::Reply;
using Texts = std::vector<std::string>;

const QString kFed = QStringLiteral("[DEBUG] Таймер сброшен.");
const QString kRequest = QStringLiteral("[DEBUG] Запрос считывания датчиков окружения.");
const QString kStars = QStringLiteral("[INFO ] *****************");

// The whole daemon with its real drivers and the real monitor, against a
// simulated board of model Valkerinde2.3 that acknowledges its watchdog
// commands. The channels of the model section answer as each test says.
class MonitorDaemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(board.ok());
        board.reply("&01M", Reply::line("!01VLK2.3"));
        for (const char* command : { "~01S", "~01F", "~01P" })
            board.reply(command, Reply::line("!01"));
    }

    void configure(const char* monitoring, const char* channels, int intervalMs = 30)
    {
        // Built by concatenation: the templates hold "%1" of their own.
        harness.writeConfig(QStringLiteral("[Debug]\nEnabled=true\n[Global]\nForceTarvelo=on\n[Vendor_Tarvelo]\nPort=")
            + QString::fromStdString(board.portName())
            + QStringLiteral("\nStartCmds=~%1S\nFeedCmds=~%1F\nStopCmds=~%1P\n") + QString::fromUtf8(monitoring)
            + QStringLiteral("\n[Valkerinde2.3]\nIntervalMs=%1\n").arg(intervalMs) + QString::fromUtf8(channels));
    }

    // The requests that followed each feed, up to the next watchdog command.
    std::vector<Texts> afterEachFeed() const
    {
        std::vector<Texts> groups;
        for (const std::string& request : board.requestTexts()) {
            if (request == "~01F")
                groups.emplace_back();
            else if (!groups.empty() && request[0] != '~')
                groups.back().push_back(request);
        }
        return groups;
    }

    // At an interval far shorter than a reading, each feed is followed by
    // one reading at most, and the readings go round the sweep in order.
    void expectOneReadingPerFeed(const Texts& sweep, int atLeast) const
    {
        Texts readings;
        for (const Texts& group : afterEachFeed()) {
            EXPECT_LE(group.size(), 1u);
            readings.insert(readings.end(), group.begin(), group.end());
        }
        EXPECT_GE(readings.size(), static_cast<size_t>(atLeast));
        for (size_t i = 0; i < readings.size(); ++i)
            EXPECT_EQ(readings[i], sweep[i % sweep.size()]) << i;
    }

    DaemonHarness harness;
    BoardSimulator board;
};

TEST_F(MonitorDaemon, WithoutPeriodicMonitoringEveryChannelIsReadOnceAtStart)
{
    configure("EnvMonitor=off",
        "HitWDTCmds=$%1H:Hit=%1\nOdmCmds=$%1O\nTerm0Cmds=\"$%1T0:T0=%1 C, 2nd sensor\"\n"
        "Term1Cmds=$%1T1:T1=%1\nCool0Cmds=$%1C0:Fan=%1\n",
        // Long enough for every start-up reading before the first feed.
        2500);
    board.reply("$01H", Reply::line("!01+1"));
    board.reply("$01O", Reply::line("!010x1A"));
    board.reply("$01T0", Reply::split({ "!01+2", "0.50\r" }, std::chrono::milliseconds(5)));
    board.reply("$01T1", Reply::silence());
    board.reply("$01C0", Reply::bytes(BoardSimulator::garbage(16)));

    SignalSender stop([&] { return board.count("~01F") >= 1; });
    EXPECT_EQ(harness.run(productionParts()), 0);
    ASSERT_TRUE(stop.met());

    const Texts requests = board.requestTexts();
    ASSERT_GE(requests.size(), 8u);
    EXPECT_EQ(Texts(requests.begin(), requests.begin() + 7),
        (Texts { "&01M", "~01S", "$01H", "$01O", "$01T0", "$01T1", "$01C0" }));
    EXPECT_EQ(Texts(requests.begin() + 7, requests.end() - 1), Texts(requests.size() - 8, "~01F"));
    EXPECT_EQ(requests.back(), "~01P");

    const QStringList messages = harness.messages();
    EXPECT_TRUE(messages.contains(QStringLiteral(
        R"([DEBUG] Configured terminal 2 for device "Valkerinde2.3" command: "$%1C0" "format:Fan=%1")")));
    EXPECT_TRUE(
        messages.contains(QStringLiteral(R"([DEBUG] GenericDevice created: type= "Valkerinde2.3" terminals= 3)")));
    const int started = messages.indexOf(QStringLiteral("[DEBUG] TarveloVendor::start:  \"~01S\""));
    const int stars = messages.indexOf(kStars);
    ASSERT_GE(started, 0);
    ASSERT_GT(stars, started);
    const QStringList readings = messages.mid(started + 1, stars - started - 1);
    ASSERT_EQ(readings.size(), 5) << readings.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(readings.mid(0, 4),
        (QStringList {
            QStringLiteral(R"([INFO ] "Hit=1")"),
            QStringLiteral(R"([INFO ] "26")"),
            QStringLiteral(R"([INFO ] "T0=20.5 C, 2nd sensor")"),
            QStringLiteral("[DEBUG] Timeout waiting for response"),
        }));
    // The garbage itself stands in the line, escaped.
    EXPECT_TRUE(readings[4].startsWith(QStringLiteral("[DEBUG] Failed to parse response: \"\uFFFD")));
    EXPECT_TRUE(readings[4].endsWith(QStringLiteral("\" with command template: \"$%1C0\"")));
    EXPECT_EQ(sensors, nullptr);
}

TEST_F(MonitorDaemon, EachMonitoringRequestIsReadRightAfterTheNextFeed)
{
    configure("EnvMonitor=on\nEnvIntervalMs=70", "HitWDTCmds=$%1H:Hit=%1\nTerm0Cmds=$%1T0:T0=%1\nCool0Cmds=$%1C0\n");
    board.reply("$01H", Reply::line("!01S"));
    board.replies("$01T0", { Reply::line("!01+20.5"), Reply::line("!01+21.0"), Reply::line("!01+21.5") });
    board.replies("$01C0", { Reply::line("!01+1"), Reply::line("!01+2") });

    SignalSender stop([&] { return board.count("$01C0") >= 3; });
    EXPECT_EQ(harness.run(productionParts()), 0);
    ASSERT_TRUE(stop.met());

    // Static channels once at start-up; the dynamic ones wait for the first
    // monitoring request.
    const Texts requests = board.requestTexts();
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(Texts(requests.begin(), requests.begin() + 4), (Texts { "&01M", "~01S", "$01H", "~01F" }));
    EXPECT_EQ(board.count("$01H"), 1u);
    expectOneReadingPerFeed({ "$01T0", "$01C0" }, 6);

    // The values change from reading to reading; each group of info lines
    // follows the feed's line, and the feed's line a monitoring request.
    const QStringList messages = harness.messages();
    const QStringList values = messages.filter(QStringLiteral("[INFO ] \""));
    EXPECT_EQ(values.mid(0, 7),
        (QStringList { QStringLiteral(R"([INFO ] "Hit=S")"), QStringLiteral(R"([INFO ] "T0=20.5")"),
            QStringLiteral(R"([INFO ] "1")"), QStringLiteral(R"([INFO ] "T0=21")"), QStringLiteral(R"([INFO ] "2")"),
            QStringLiteral(R"([INFO ] "T0=21.5")"), QStringLiteral(R"([INFO ] "2")") }));
    for (int i = 0; i < messages.size(); ++i) {
        if (!messages[i].startsWith(QStringLiteral("[INFO ] \"T0=")))
            continue;
        // The monitoring timer may fire between the feed and the reading.
        EXPECT_TRUE(messages[i - 1] == kFed || messages[i - 1] == kRequest) << i;
        EXPECT_GE(messages.mid(0, i).lastIndexOf(kRequest), 0) << i;
    }
    EXPECT_GE(messages.count(kRequest), 3);
}

TEST_F(MonitorDaemon, FailingChannelsAreReportedAndFeedingGoesOn)
{
    configure("EnvMonitor=on\nEnvIntervalMs=40", "Term0Cmds=$%1T0:T0=%1\nTerm1Cmds=$%1T1:T1=%1\n");
    board.reply("$01T0", Reply::silence());
    board.reply("$01T1", Reply::bytes("!01ff\r"));

    SignalSender stop([&] { return board.count("$01T1") >= 2; });
    EXPECT_EQ(harness.run(productionParts()), 0);
    ASSERT_TRUE(stop.met());

    const QStringList messages = harness.messages();
    EXPECT_GE(messages.count(QStringLiteral("[DEBUG] Timeout waiting for response")), 2);
    EXPECT_GE(
        messages.count(QStringLiteral(R"([DEBUG] Failed to parse response: "!01ff" with command template: "$%1T1")")),
        2);
    EXPECT_TRUE(messages.filter(QStringLiteral("[INFO ] \"T")).isEmpty());
    // The board is fed before every reading and after it again.
    expectOneReadingPerFeed({ "$01T0", "$01T1" }, 4);
    EXPECT_EQ(messages.last(), QStringLiteral("[INFO ] Получен сигнал 15 . Остановка Watchdog и выход..."));
}

TEST_F(MonitorDaemon, SuperIoChipWithMonitoringOnNeverReadsAChannel)
{
    harness.writeConfig(QStringLiteral("[Debug]\nEnabled=true\n[Global]\nIntervalMs=10\nScanPorts=0x2E\n"
                                       "[Vendor_Tarvelo]\nEnvMonitor=on\nEnvIntervalMs=15\nPort=")
        + QString::fromStdString(board.portName())
        + QStringLiteral("\n[FakeModel]\nHitWDTCmds=$%1H\nTerm0Cmds=$%1T0\n"));
    DaemonParts parts = productionParts();
    const auto chip = harness.fake("Nuvoton/Winbond");
    chip->answer = [](uint16_t port) { return port == 0x2E; };
    parts.makeNuvoton = [chip] { return chip; };

    SignalSender stop([&] { return harness.messages().count(kRequest) >= 3; });
    EXPECT_EQ(harness.run(parts), 0);
    ASSERT_TRUE(stop.met());

    EXPECT_EQ(board.requestCount(), 0u);
    // That the request stays pending is the supervisor's business.
    EXPECT_GE(harness.journal->count("fed"), 1);
    EXPECT_TRUE(harness.messages().filter(QStringLiteral("GenericDevice")).isEmpty());
    EXPECT_TRUE(harness.messages().filter(QStringLiteral("[INFO ] \"")).isEmpty());
}

} // namespace
