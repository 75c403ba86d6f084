#include "core/candidates.h"
#include "sim/board_simulator.h"
#include "support/daemon_harness.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Reply = BoardSimulator::Reply;

const QString kFed = QStringLiteral("[DEBUG] Таймер сброшен.");

// The real daemon with its real drivers, the environment monitor left out:
// its readings would be requests of their own on the board's line.
DaemonParts daemonParts()
{
    DaemonParts parts = productionParts();
    parts.makeMonitor = nullptr;
    return parts;
}

QString boardSection(const BoardSimulator& board, const char* keys)
{
    return QStringLiteral("[Vendor_Tarvelo]\nPort=") + QString::fromStdString(board.portName()) + QLatin1Char('\n')
        + QString::fromUtf8(keys);
}

QString cantOpen(const BoardSimulator& board)
{
    return QStringLiteral("[CRIT ] Cant open port:  \"%1\" !").arg(QString::fromStdString(board.portName()));
}

std::vector<std::string> after(const std::vector<std::string>& requests, std::size_t first)
{
    return std::vector<std::string>(
        requests.begin() + static_cast<std::ptrdiff_t>(std::min(first, requests.size())), requests.end());
}

// A forced board that identifies itself as "Z5" and acknowledges every
// command, with the templates of its model section in force.
struct ForcedBoard {
    explicit ForcedBoard(DaemonHarness& harness, const char* interval = "30")
    {
        board.reply("&01M", Reply::line("!01Z5"));
        board.fallback(Reply::line("!01"));
        harness.writeConfig(QStringLiteral("[Debug]\nEnabled=true\n[Global]\nForceTarvelo=on\nIntervalMs=")
            + QLatin1String(interval) + QLatin1Char('\n')
            + boardSection(board,
                "StartCmd=~%1old\nFeedCmd=~%1oldfeed\n"
                "StopCmds=~%1xx\nFeedCmds=~%1wf\nSetCmds=~%1wt%2\n"
                "[Z555]\nStartCmds=~%1ws\nStopCmds=~%1wp\nFeedCmds=\n"));
    }

    BoardSimulator board;
};

TEST(TarveloDaemon, ForcedBoardIsDetectedArmedFedAndStopped)
{
    DaemonHarness harness;
    ForcedBoard forced(harness, "50");
    BoardSimulator& board = forced.board;
    ASSERT_TRUE(board.ok());
    const DaemonParts parts = daemonParts();
    ASSERT_TRUE(parts.makeSerialBoard);

    SignalSender stop([&] { return board.count("~01WF") >= 3; });
    EXPECT_EQ(harness.run(parts), 0);
    ASSERT_TRUE(stop.met());

    // One identification, start before set (50 ms give a 1 s timeout), the
    // feeds, and the stop on SIGTERM.
    const std::vector<std::string> requests = board.requestTexts();
    ASSERT_GE(requests.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(requests.begin(), requests.begin() + 3),
        (std::vector<std::string> { "&01M", "~01WS", "~01WT01" }));
    EXPECT_EQ(requests.back(), "~01WP");
    const std::vector<std::string> feeds(requests.begin() + 3, requests.end() - 1);
    EXPECT_EQ(feeds, std::vector<std::string>(feeds.size(), "~01WF"));
    EXPECT_EQ(board.received().find('\n'), std::string::npos);

    const QStringList messages = harness.messages();
    EXPECT_TRUE(messages.contains(QStringLiteral("[DEBUG] TarveloVendor::setDconCommands(). start:  \"~%1old\"")));
    EXPECT_TRUE(
        messages.contains(QStringLiteral("[INFO ] Обнаружено устройство: \"Tarvelo\" Модель: \"Z555\" ( \"Z5\" )")));
    EXPECT_TRUE(messages.contains(QStringLiteral("[DEBUG] TarveloVendor::start:  \"~01WS\"")));
    EXPECT_EQ(messages.count(kFed), static_cast<int>(feeds.size()));
    EXPECT_TRUE(messages.filter(QStringLiteral("[CRIT ]")).isEmpty()) << messages.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(messages.last(), QStringLiteral("[INFO ] Получен сигнал 15 . Остановка Watchdog и выход..."));
}

// Notes, at every Super I/O port access, how many requests the board had
// received by then. The bus itself is empty: every read answers 0xFF.
class WatchingPlatform : public FakePlatform {
public:
    explicit WatchingPlatform(const BoardSimulator& board)
        : board(board)
    {
    }

    std::vector<std::pair<uint16_t, std::size_t>> accesses;

protected:
    void write(uint16_t port, uint8_t) override { accesses.emplace_back(port, board.requestCount()); }
    uint8_t read(uint16_t port) override
    {
        accesses.emplace_back(port, board.requestCount());
        return 0xFF;
    }

private:
    const BoardSimulator& board;
};

TEST(TarveloDaemon, WithoutSuperIoChipTheBoardIsProbedLastAtEachPort)
{
    DaemonHarness harness;
    BoardSimulator board;
    ASSERT_TRUE(board.ok());
    WatchingPlatform bus(board);
    harness.useBus(bus);
    // Silent at the first port, found at the second.
    board.replies("&01M", { Reply::silence(), Reply::line("!01PQM") });
    harness.writeConfig(QStringLiteral("[Debug]\nEnabled=true\n[Global]\nScanPorts=0x2E,0x4E\nIntervalMs=20\n")
        + boardSection(board, ""));
    const DaemonParts parts = daemonParts();

    SignalSender stop([&] { return harness.messages().count(kFed) >= 2; });
    EXPECT_EQ(harness.run(parts), 0);
    ASSERT_TRUE(stop.met());

    // No templates configured: identification is all the board ever hears.
    EXPECT_EQ(board.requestTexts(), (std::vector<std::string> { "&01M", "&01M" }));
    const QStringList messages = harness.messages();
    EXPECT_EQ(messages.count(QStringLiteral("[CRIT ] Unknown device")), 1);
    EXPECT_TRUE(
        messages.contains(QStringLiteral("[INFO ] Обнаружено устройство: \"Tarvelo\" Модель: \"RD_PQM\" ( \"PQM\" )")));

    if (!parts.makeFintek && !parts.makeIte && !parts.makeNuvoton)
        return;
    // Every Super I/O candidate is tried at a port before the board is.
    bool atFirst = false;
    bool atSecond = false;
    for (const auto& [port, boardRequests] : bus.accesses) {
        if (port == 0x2E || port == 0x2F) {
            atFirst = true;
            EXPECT_EQ(boardRequests, 0u) << std::hex << port;
        } else if (port == 0x4E || port == 0x4F) {
            atSecond = true;
            EXPECT_EQ(boardRequests, 1u) << std::hex << port;
        }
    }
    EXPECT_TRUE(atFirst);
    EXPECT_TRUE(atSecond);
}

TEST(TarveloDaemon, BoardOnlyMachineWithoutUsablePortsIsStillSupervised)
{
    DaemonHarness harness;
    BoardSimulator board;
    ASSERT_TRUE(board.ok());
    board.reply("&01M", Reply::line("!01Z5"));
    board.fallback(Reply::line("!01"));
    harness.writeConfig(QStringLiteral("[Global]\nScanPorts=\nIntervalMs=20\n")
        + boardSection(board, "StartCmds=~%1ws\nFeedCmds=~%1wf\nStopCmds=~%1wp\n"));

    SignalSender stop([&] { return board.count("~01WF") >= 2; });
    EXPECT_EQ(harness.run(daemonParts()), 0);
    ASSERT_TRUE(stop.met());

    // One identification, with no Super I/O port touched before or after it.
    const std::vector<std::string> requests = board.requestTexts();
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(requests.begin(), requests.begin() + 2),
        (std::vector<std::string> { "&01M", "~01WS" }));
    EXPECT_EQ(requests.back(), "~01WP");
    EXPECT_TRUE(harness.fakePlatform.trace.empty());
    EXPECT_TRUE(harness.messages().contains(
        QStringLiteral("[INFO ] Обнаружено устройство: \"Tarvelo\" Модель: \"Z555\" ( \"Z5\" )")));
}

TEST(TarveloDaemon, BoardFallingSilentIsFedOnSchedule)
{
    DaemonHarness harness;
    ForcedBoard forced(harness);
    BoardSimulator& board = forced.board;
    ASSERT_TRUE(board.ok());

    std::size_t feedsBeforeSilence = 0;
    SignalSender stop([&] {
        const std::size_t feeds = board.count("~01WF");
        if (!feedsBeforeSilence && feeds >= 2) {
            board.fallback(Reply::silence());
            feedsBeforeSilence = feeds;
        }
        return feedsBeforeSilence && feeds >= feedsBeforeSilence + 3;
    });
    EXPECT_EQ(harness.run(daemonParts()), 0);
    ASSERT_TRUE(stop.met());

    const std::vector<std::string> requests = board.requestTexts();
    EXPECT_EQ(requests.back(), "~01WP");
    const QStringList messages = harness.messages();
    EXPECT_EQ(messages.count(kFed), static_cast<int>(board.count("~01WF")));
    EXPECT_TRUE(messages.filter(QStringLiteral("[CRIT ]")).isEmpty()) << messages.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(messages.last(), QStringLiteral("[INFO ] Получен сигнал 15 . Остановка Watchdog и выход..."));
}

TEST(TarveloDaemon, VanishedDeviceIsReportedAtEachFeedAndFeedingResumesWhenItReturns)
{
    DaemonHarness harness;
    ForcedBoard forced(harness);
    BoardSimulator& board = forced.board;
    ASSERT_TRUE(board.ok());

    int phase = 0;
    std::size_t requestsAtReturn = 0;
    SignalSender stop([&] {
        if (phase == 0 && board.count("~01WF") >= 2) {
            board.closeLine();
            phase = 1;
        } else if (phase == 1 && harness.messages().count(cantOpen(board)) >= 3) {
            board.reopenLine();
            requestsAtReturn = board.requestCount();
            phase = 2;
        }
        return phase == 2 && board.requestCount() >= requestsAtReturn + 2;
    });
    EXPECT_EQ(harness.run(daemonParts()), 0);
    ASSERT_TRUE(stop.met());

    const std::vector<std::string> resumed = after(board.requestTexts(), requestsAtReturn);
    ASSERT_GE(resumed.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(resumed.begin(), resumed.end() - 1),
        std::vector<std::string>(resumed.size() - 1, "~01WF"));
    EXPECT_EQ(resumed.back(), "~01WP");

    // Each feed tick without the device: the one critical line of its
    // exchange, then the tick goes on as usual.
    const QStringList messages = harness.messages();
    EXPECT_GE(messages.count(cantOpen(board)), 3);
    for (int i = 0; i < messages.size(); ++i) {
        if (!messages[i].startsWith(QStringLiteral("[CRIT ]")))
            continue;
        EXPECT_EQ(messages[i], cantOpen(board));
        ASSERT_LT(i + 1, messages.size());
        EXPECT_EQ(messages[i + 1], kFed);
    }
    EXPECT_EQ(messages.last(), QStringLiteral("[INFO ] Получен сигнал 15 . Остановка Watchdog и выход..."));
}

} // namespace
