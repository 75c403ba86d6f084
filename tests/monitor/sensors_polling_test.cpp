#include "monitor/sensors.h"
#include "sim/board_simulator.h"
#include "support/log_capture.h"
#include "support/qt_printers.h"
#include "support/test_application.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Reply = BoardSimulator::Reply;
using Texts = std::vector<std::string>;
using std::chrono::milliseconds;

// The monitor's real serial code against the simulated board on a
// pseudo-terminal. Only the monitor's waits of 100 and 200 ms bound a
// silent board; the tests themselves never sleep.
class SensorsPolling : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(board.ok()); }

    // A monitor of model Valkerinde2.3 on the board's line, with the given
    // keys in the model section and the vendor section.
    std::unique_ptr<Sensors> monitor(const char* modelKeys, const QString& vendorKeys = QString())
    {
        const QString path = dir.filePath(QStringLiteral("wdt.ini"));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            file.write(QStringLiteral("[Vendor_Tarvelo]\nPort=%1\n%2\n[Valkerinde2.3]\n%3")
                           .arg(QString::fromStdString(board.portName()), vendorKeys, QString::fromUtf8(modelKeys))
                           .toUtf8());
        }
        file.close();
        return std::make_unique<Sensors>(QStringLiteral("Valkerinde2.3"), path);
    }

    static Terminal channel(const char* command, const char* format)
    {
        Terminal terminal;
        terminal.status = 0;
        terminal.command = QString::fromUtf8(command);
        terminal.format = QString::fromUtf8(format);
        return terminal;
    }

    TestApplication app;
    BoardSimulator board;
    QTemporaryDir dir;
};

TEST_F(SensorsPolling, ReplyBytesToLoggedValue)
{
    const struct {
        const char* name;
        Reply reply;
        const char* value; // empty: the reading fails
        float number;
        const char* line;
    } rows[] = {
        { "one line", Reply::line("!01+25.50"), "25.5", 25.5f, "[INFO ] \"T=25.5\"" },
        // At 9600 baud a reply arrives a byte per millisecond or so; the
        // first piece alone would read as 25.
        { "in pieces", Reply::split({ "!01+2", "5", ".5", "0\r" }, milliseconds(5)), "25.5", 25.5f,
            "[INFO ] \"T=25.5\"" },
        { "hex digits", Reply::line("!0125"), "37", 37.0f, "[INFO ] \"T=37\"" },
        { "CR LF and blanks around", Reply::bytes("\r\n !01S \r\n"), "S", 0.0f, "[INFO ] \"T=S\"" },
        { "cut at a NUL byte", Reply::bytes(std::string("!01+5\0!01+7\r", 12)), "5", 5.0f, "[INFO ] \"T=5\"" },
        { "garbage", Reply::bytes(BoardSimulator::garbage(32)), "", 0.0f, "[DEBUG] Failed to parse response:" },
        { "error reply", Reply::line("?01"), "", 0.0f,
            "[DEBUG] Failed to parse response: \"?01\" with command template: \"$%1RT\"" },
        { "only a line end", Reply::bytes("\r"), "", 0.0f,
            "[DEBUG] Failed to parse response: \"\" with command template: \"$%1RT\"" },
    };
    const auto sensors = monitor("");
    for (const auto& row : rows) {
        board.fallback(row.reply);
        Terminal terminal = channel("$%1RT", "T=%1");
        LogCapture log;
        EXPECT_EQ(sensors->readTerminal(terminal), *row.value != '\0') << row.name;
        EXPECT_EQ(terminal.value, QString::fromUtf8(row.value)) << row.name;
        EXPECT_EQ(terminal.number, row.number) << row.name;
        EXPECT_EQ(terminal.command, QStringLiteral("$%1RT")) << row.name;
        EXPECT_EQ(terminal.format, QStringLiteral("T=%1")) << row.name;
        ASSERT_EQ(log.lines().size(), 1) << row.name << ": " << log.lines().join(QLatin1Char('|')).toStdString();
        EXPECT_TRUE(log.lines().first().startsWith(QString::fromUtf8(row.line))) << row.name;
        board.waitUntilIdle(milliseconds(2000));
    }
    std::string sent;
    for (size_t i = 0; i < std::size(rows); ++i)
        sent += "$01RT\r";
    EXPECT_EQ(board.received(), sent);
}

TEST_F(SensorsPolling, SilentBoardLeavesEveryChannelAsItWas)
{
    const auto sensors = monitor("Term0Cmds=$%1T0:T0=%1\nTerm1Cmds=$%1T1:T1=%1\n");
    board.reply("$01T0", Reply::line("!01+20.5"));
    board.reply("$01T1", Reply::line("!01+30"));
    sensors->queryDynamicSensors();
    ASSERT_EQ(sensors->dynamicTable()[0].value, QStringLiteral("20.5"));

    board.clearScript();
    LogCapture log;
    sensors->queryDynamicSensors();
    EXPECT_EQ(log.lines(),
        (QStringList { QStringLiteral("[DEBUG] Timeout waiting for response"),
            QStringLiteral("[DEBUG] Timeout waiting for response") }));
    EXPECT_EQ(sensors->dynamicTable()[0].value, QStringLiteral("20.5"));
    EXPECT_EQ(sensors->dynamicTable()[0].number, 20.5f);
    EXPECT_EQ(sensors->dynamicTable()[1].value, QStringLiteral("30"));
    EXPECT_EQ(board.requestTexts(), (Texts { "$01T0", "$01T1", "$01T0", "$01T1" }));
}

TEST_F(SensorsPolling, MissingDeviceFailsEachReadingQuietly)
{
    const QString missing = dir.filePath(QStringLiteral("no-such-tty"));
    const auto sensors = monitor("HitWDTCmds=$%1H\nOdmCmds=$%1O\n", QStringLiteral("Port=") + missing);
    LogCapture log;
    sensors->queryStaticSensors();
    // Only the monitor's own lines: no warning of Qt about writing to a
    // port that is not open.
    EXPECT_EQ(log.lines(),
        (QStringList {
            QStringLiteral("[DEBUG] Failed to write command"), QStringLiteral("[DEBUG] Failed to write command") }));
    EXPECT_EQ(sensors->staticTable()[0].value, QString());
}

TEST_F(SensorsPolling, EmptyTablesSendNothing)
{
    const auto sensors = monitor("");
    LogCapture log;
    sensors->queryStaticSensors();
    sensors->queryDynamicSensors();
    EXPECT_TRUE(log.lines().isEmpty()) << log.lines().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(board.requestCount(), 0u);
    EXPECT_EQ(board.received(), std::string());
}

TEST_F(SensorsPolling, EmptyFormatLogsTheValueItselfQuoted)
{
    const auto sensors = monitor("Term0Cmds=$%1T0\n");
    board.reply("$01T0", Reply::line("!01-3"));
    LogCapture log;
    sensors->queryDynamicSensors();
    EXPECT_EQ(log.lines(), QStringList { QStringLiteral("[INFO ] \"-3\"") });
}

TEST_F(SensorsPolling, TwoReadingsShowTwoValuesThroughTheSameFormat)
{
    const auto sensors = monitor("Cool0Cmds=\"$%1F:Fan \\\"%1\\\" rpm\"\n");
    board.replies("$01F", { Reply::line("!010x4B0"), Reply::line("!011Ah") });
    LogCapture log;
    sensors->queryDynamicSensors();
    sensors->queryDynamicSensors();
    EXPECT_EQ(log.lines(),
        (QStringList {
            QStringLiteral(R"([INFO ] "Fan \"1200\" rpm")"), QStringLiteral(R"([INFO ] "Fan \"26\" rpm")") }));
    EXPECT_EQ(sensors->dynamicTable()[0].format, QStringLiteral("Fan \"%1\" rpm"));
    EXPECT_EQ(sensors->dynamicTable()[0].number, 26.0f);
}

TEST_F(SensorsPolling, AddressTenIsSentAsLowerCaseHexWithOneCarriageReturn)
{
    const auto sensors = monitor("Term0Cmds=$%1RD%1\n", QStringLiteral("Address=0A"));
    board.reply("$0aRD0a", Reply::line("!0A+1"));
    sensors->queryDynamicSensors();
    EXPECT_EQ(board.received(), "$0aRD0a\r");
    EXPECT_EQ(sensors->dynamicTable()[0].value, QStringLiteral("1"));
}

TEST_F(SensorsPolling, QueriesReadEveryConfiguredChannelInKeyOrderPastFailures)
{
    // Gaps in both numberings: every channel is still read, Terms first.
    const auto sensors = monitor("Cool1Cmds=c1\nTerm2Cmds=t2\nCool0Cmds=c0\nTerm0Cmds=t0\n"
                                 "ErrorCmds=e\nGreenCmds=g\nHitWDTCmds=h\n");
    board.fallback(Reply::line("!01+1"));
    board.reply("t2", Reply::bytes(BoardSimulator::garbage(8)));
    LogCapture log;
    sensors->queryDynamicSensors();
    sensors->queryStaticSensors();
    EXPECT_EQ(board.requestTexts(), (Texts { "t0", "t2", "c0", "c1", "h", "g", "e" }));
    EXPECT_EQ(log.count(QStringLiteral("[INFO ] \"1\"")), 6);
    EXPECT_EQ(log.count(QStringLiteral("Failed to parse response:")), 1);
    EXPECT_EQ(sensors->dynamicTable().keys(), (QList<int> { 0, 2, 3, 4 }));
    EXPECT_EQ(sensors->dynamicTable()[4].value, QStringLiteral("1"));
}

TEST_F(SensorsPolling, LateAnswerToAnEarlierCommandIsNotTakenForTheNextOne)
{
    const auto sensors = monitor("Term0Cmds=a\nTerm1Cmds=b\n");
    // Comes after the monitor stopped waiting for it.
    board.reply("a", Reply::line("!01+99").after(milliseconds(300)));
    Terminal first = sensors->dynamicTable()[0];
    EXPECT_FALSE(sensors->readTerminal(first));
    ASSERT_TRUE(board.waitUntilIdle(milliseconds(2000)));
    board.reply("b", Reply::line("!01+1"));
    Terminal second = sensors->dynamicTable()[1];
    EXPECT_TRUE(sensors->readTerminal(second));
    EXPECT_EQ(second.value, QStringLiteral("1"));
}

// A module that answers each channel just after the monitor stopped waiting:
// its answer comes while the next channel is being asked, and must not be
// stored as that channel's value.
TEST_F(SensorsPolling, AnswerJustTooLateIsNeverTakenForTheNextChannel)
{
    const struct {
        const char* name;
        milliseconds secondDelay;
        const char* secondValue;
    } rows[] = {
        { "both late", milliseconds(210), "" },
        { "second on time", milliseconds(0), "20" },
    };
    for (const auto& row : rows) {
        const auto sensors = monitor("Term0Cmds=a:T0=%1\nTerm1Cmds=b:T1=%1\n");
        board.reply("a", Reply::line("!01+10").after(milliseconds(210)));
        board.reply("b", Reply::line("!01+20").after(row.secondDelay));
        const LogCapture log;
        sensors->queryDynamicSensors();
        ASSERT_TRUE(board.waitUntilIdle(milliseconds(2000)));
        EXPECT_EQ(sensors->dynamicTable()[0].value, QString()) << row.name;
        EXPECT_EQ(sensors->dynamicTable()[1].value, QString::fromUtf8(row.secondValue)) << row.name;
        EXPECT_EQ(log.count(QStringLiteral("=10")), 0) << row.name;
        board.clearScript();
    }
}

// With local echo the request comes back first, on every channel.
TEST_F(SensorsPolling, EchoedRequestsStillGiveTheirReadings)
{
    const auto sensors = monitor("Term0Cmds=$%1T0:T0=%1\n");
    board.echo(true);
    board.reply("$01T0", Reply::line("!01+21.5").after(milliseconds(30)));
    const LogCapture log;
    sensors->queryDynamicSensors();
    EXPECT_EQ(sensors->dynamicTable()[0].value, QStringLiteral("21.5"));
    EXPECT_EQ(log.count(QStringLiteral("[INFO ] \"T0=21.5\"")), 1);
}

TEST_F(SensorsPolling, ReplyThatNeverEndsIsCutAtItsSizeBound)
{
    const auto sensors = monitor("");
    board.fallback(Reply::stream(std::string(1000, 'x'), milliseconds(1)));
    LogCapture log;
    QString response;
    EXPECT_TRUE(sensors->sendCommand(QStringLiteral("$01X"), response));
    board.cancelOutput();
    EXPECT_EQ(response.size(), 4096);
    EXPECT_EQ(log.count(QStringLiteral("[WARN ] Sensor reply on")), 1);
}

TEST_F(SensorsPolling, SlowReplyThatNeverFallsSilentIsCutAtItsTimeBound)
{
    const auto sensors = monitor("Term0Cmds=$%1T:T=%1\n");
    board.fallback(Reply::stream("!01+7.5\r", milliseconds(5)));
    LogCapture log;
    sensors->queryDynamicSensors();
    board.cancelOutput();
    EXPECT_EQ(sensors->dynamicTable()[0].value, QStringLiteral("7.5"));
    EXPECT_EQ(log.count(QStringLiteral("cut off: the board did not fall silent")), 1);
    EXPECT_EQ(log.count(QStringLiteral("[INFO ] \"T=7.5\"")), 1);
}

} // namespace
