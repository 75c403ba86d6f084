#include "serialctl/dcon_link.h"
#include "sim/board_simulator.h"
#include "support/qt_printers.h"
#include "support/test_application.h"

#include <QSerialPort>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

// Found by gtest next to the type, in the global namespace.
static void PrintTo(DconExchange::Outcome outcome, std::ostream* out)
{
    static const char* const names[] = { "NotWritten", "NoReply", "Reply" };
    *out << names[static_cast<int>(outcome)];
}

namespace {

using Reply = BoardSimulator::Reply;
using Outcome = DconExchange::Outcome;
using std::chrono::milliseconds;

// One exchange of the link on a port held open, against the simulated board.
class DconLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(board.ok());
        DconLinkSettings link;
        link.portName = QString::fromStdString(board.portName());
        setUpDconPort(port, link);
    }

    DconExchange exchange() { return exchangeDconLine(port, QStringLiteral("$01Q"), DconTiming { 100, 100, false }); }

    TestApplication app;
    BoardSimulator board;
    QSerialPort port;
};

TEST_F(DconLink, SilenceIsNoReplyAndALineIsItsTrimmedText)
{
    const struct {
        Reply reply;
        Outcome outcome;
        const char* text;
        int bytes;
    } rows[] = {
        { Reply::silence(), Outcome::NoReply, "", 0 },
        { Reply::bytes(" !01 A\t\r\n"), Outcome::Reply, "!01 A", 9 },
    };
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    for (const auto& row : rows) {
        board.fallback(row.reply);
        const DconExchange result = exchange();
        EXPECT_EQ(result.outcome, row.outcome) << row.text;
        EXPECT_EQ(result.reply, QString::fromUtf8(row.text));
        EXPECT_EQ(result.replyBytes, row.bytes) << row.text;
        EXPECT_FALSE(result.cutOff) << row.text;
    }
}

// A line that never falls quiet must not hold the daemon's only thread.
TEST_F(DconLink, BabblingLineIsCutOffAtTheSizeOrTheTimeBound)
{
    const struct {
        const char* name;
        Reply reply;
        char byte;
    } rows[] = {
        { "flood", Reply::bytes(std::string(10000, 'A')), 'A' },
        { "endless trickle", Reply::stream("x", milliseconds(2)), 'x' },
    };
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    for (const auto& row : rows) {
        board.fallback(row.reply);
        const DconExchange result = exchange();
        board.cancelOutput();
        EXPECT_EQ(result.outcome, Outcome::Reply) << row.name;
        EXPECT_TRUE(result.cutOff) << row.name;
        EXPECT_GT(result.replyBytes, 0) << row.name;
        EXPECT_LE(result.replyBytes, 4096) << row.name;
        EXPECT_EQ(result.reply, QString(result.replyBytes, QLatin1Char(row.byte))) << row.name;
    }
}

// The whole exchange stays within its write and reply waits, however long
// the board talks: bytes a piece every 2 ms can only add up to so many.
TEST_F(DconLink, TrickleIsCutWithinTheWaitsOfTheExchange)
{
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    board.fallback(Reply::stream("x", milliseconds(2)));
    const DconExchange result = exchange();
    board.cancelOutput();
    EXPECT_TRUE(result.cutOff);
    EXPECT_GT(result.replyBytes, 0);
    // 200 ms of waits in all; the former bound of a second from the first
    // byte let about 500 through.
    EXPECT_LE(result.replyBytes, 120);
}

// An RS-485 adapter hears its own request before the board's reply, which
// may follow after more than the quiet gap.
TEST_F(DconLink, EchoOfTheRequestIsRemovedBeforeTheReply)
{
    const struct {
        const char* name;
        Reply reply;
        Outcome outcome;
        const char* text;
    } rows[] = {
        { "reply after a pause", Reply::line("!01A").after(milliseconds(40)), Outcome::Reply, "!01A" },
        { "reply at once", Reply::line("!01A"), Outcome::Reply, "!01A" },
        { "echo alone", Reply::silence(), Outcome::NoReply, "" },
        { "reply that repeats the request", Reply::line("$01Q!01A"), Outcome::Reply, "$01Q!01A" },
    };
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    board.echo(true);
    for (const auto& row : rows) {
        board.fallback(row.reply);
        const DconExchange result = exchange();
        EXPECT_EQ(result.outcome, row.outcome) << row.name;
        EXPECT_EQ(result.reply, QString::fromUtf8(row.text)) << row.name;
        ASSERT_TRUE(board.waitUntilIdle(milliseconds(2000)));
    }
}

// Output suspended on the line, as a board that sent XOFF holds it: the
// request never leaves.
TEST_F(DconLink, RequestHeldBackOnTheLineIsNotWritten)
{
    // Opened before the port takes the line for itself.
    const int line = ::open(board.portName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(line, 0);
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    ASSERT_EQ(::tcflow(line, TCOOFF), 0);
    board.fallback(Reply::line("!01"));
    const DconExchange held = exchange();
    EXPECT_EQ(board.requestCount(), 0u);
    ::tcflow(line, TCOON);
    ::close(line);
    EXPECT_EQ(held.outcome, Outcome::NotWritten);
    EXPECT_EQ(held.reply, QString());
}

} // namespace
