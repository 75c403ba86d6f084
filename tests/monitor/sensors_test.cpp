#include "monitor/sensors.h"
#include "support/log_capture.h"
#include "support/qt_printers.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

const QString kModel = QStringLiteral("Valkerinde2.3");

// A monitor built from a configuration file written for the test. The port
// named there is never opened by these tests.
class MonitorFromConfig {
public:
    explicit MonitorFromConfig(const QString& ini, const QString& model = kModel)
    {
        QFile file(dir.filePath(QStringLiteral("wdt.ini")));
        if (file.open(QIODevice::WriteOnly))
            file.write(ini.toUtf8());
        file.close();
        sensors = std::make_unique<Sensors>(model, file.fileName());
    }

    Sensors& operator*() { return *sensors; }
    Sensors* operator->() { return sensors.get(); }

private:
    QTemporaryDir dir;
    std::unique_ptr<Sensors> sensors;
};

QString modelSection(const char* keys)
{
    return QStringLiteral("[Valkerinde2.3]\n") + QString::fromUtf8(keys);
}

TEST(SensorsResponse, EveryTokenFormOfTheGrammar)
{
    const struct {
        const char* response;
        const char* value; // empty: the reply has no value
    } rows[] = {
        { "!0125", "37" }, // digits are hex digits
        { "!0125.5", "37" }, // an unsigned token stops at the point
        { "!01+25.50", "25.5" },
        { "!01-3", "-3" },
        { "!01+1.", "1" },
        { "!01+0.0000001", "0" },
        { "!01-0.5", "-0.5" },
        { "!01+3.14159265", "3.141593" },
        { "!010x1A", "26" },
        { "!011Ah", "26" },
        { "!017FFFFFFF", "2147483647" },
        { "!01FFFFFFFF", "FFFFFFFF" }, // beyond 32 bits: as received
        { "!01+99999999999", "99999999999" }, // a decimal beyond the int range
        { "!01-2147483648", "-2147483648" },
        { "!01S", "S" },
        { "!01R", "R" },
        { "abc!02+1.25xyz", "1.25" }, // any module address, text around ignored
        { "!0A+7 junk !01+8", "7" }, // the first match counts
        { "!01ff", "" }, // lower-case hex is no token
        { "!01+", "" },
        { "!1+25", "" }, // one address digit
        { "!01 25", "" },
        { "?01", "" }, // the board's error reply
        { "25.5", "" },
        { "", "" },
    };
    MonitorFromConfig sensors(QString {});
    for (const auto& row : rows) {
        LogCapture log;
        const QString value = sensors->parseResponse(QString::fromUtf8(row.response), QStringLiteral("$%1RD"));
        EXPECT_EQ(value, QString::fromUtf8(row.value)) << row.response;
        // A failed parse says so once; a value, even one that does not
        // convert, says nothing.
        EXPECT_EQ(log.lines().size(), value.isEmpty() ? 1 : 0) << row.response;
    }
}

TEST(SensorsResponse, FailureLineQuotesReplyAndTemplate)
{
    MonitorFromConfig sensors(QString {});
    LogCapture log;
    EXPECT_EQ(sensors->parseResponse(QStringLiteral("?01 \"bad\\"), QStringLiteral("$%1RD")), QString());
    EXPECT_EQ(log.lines(),
        QStringList {
            QStringLiteral(R"([DEBUG] Failed to parse response: "?01 \"bad\\" with command template: "$%1RD")") });
}

TEST(SensorsTemplates, AddressGoesInAsLowerCaseHexOfTwoDigitsOrMore)
{
    const struct {
        const char* addressKey;
        const char* commandTemplate;
        const char* command;
    } rows[] = {
        { "", "$%1RD", "$01RD" }, // default address 1
        { "Address=10", "$%1RD", "$10RD" }, // read as hex: sixteen
        { "Address=0x0A", "$%1RD", "$0aRD" }, { "Address=FF", "#%1m", "#ffm" }, // the template keeps its own case
        { "Address=100", "$%1RD", "$100RD" }, { "Address=0A", "$%1RD%1", "$0aRD0a" }, // every placeholder
        { "Address=0A", "$RD%2", "$RD%2" }, // no other marker is touched
        { "Address=zz", "$%1RD", "$00RD" }, // unreadable: 0
    };
    for (const auto& row : rows) {
        MonitorFromConfig sensors(QStringLiteral("[Vendor_Tarvelo]\n") + QString::fromUtf8(row.addressKey));
        EXPECT_EQ(sensors->replaceAddress(QString::fromUtf8(row.commandTemplate)), QString::fromUtf8(row.command))
            << row.addressKey << " " << row.commandTemplate;
    }
}

TEST(SensorsTemplates, ValueAndDisplayFormat)
{
    MonitorFromConfig sensors(QString {});
    EXPECT_EQ(sensors->replaceValue(QStringLiteral("$%1S%1"), 5), QStringLiteral("$05S05"));
    EXPECT_EQ(sensors->replaceValue(QStringLiteral("$%1S"), 123), QStringLiteral("$123S"));

    EXPECT_EQ(sensors->formatValue(QStringLiteral("37"), QStringLiteral("T=%1")), QStringLiteral("T=37"));
    EXPECT_EQ(sensors->formatValue(QStringLiteral("37"), QString()), QStringLiteral("37"));
    EXPECT_EQ(sensors->formatValue(QStringLiteral("37"), QStringLiteral("%1 / %1")), QStringLiteral("37 / 37"));
    EXPECT_EQ(sensors->formatValue(QStringLiteral("S"), QStringLiteral("Fan")), QStringLiteral("Fan"));
}

TEST(SensorsSerialSettings, FromTheVendorSectionWithDefaults)
{
    const struct {
        const char* ini;
        const char* port;
        int baud;
        int address;
    } rows[] = {
        { "", "/dev/ttyS0", 9600, 1 },
        { "[Vendor_Tarvelo]\nPort=/dev/ttyUSB3\nBaud=115200\nAddress=1F\n", "/dev/ttyUSB3", 115200, 0x1F },
        { "[vendor_tarvelo]\nport=/dev/ttyS1\nbaud=19200\n", "/dev/ttyS1", 19200, 1 },
        { "[Vendor_Tarvelo]\nBaud=fast\nAddress=-\n", "/dev/ttyS0", 0, 0 },
    };
    for (const auto& row : rows) {
        MonitorFromConfig sensors(QString::fromUtf8(row.ini));
        EXPECT_EQ(sensors->serialPortName(), QString::fromUtf8(row.port)) << row.ini;
        EXPECT_EQ(sensors->lineSpeed(), row.baud) << row.ini;
        EXPECT_EQ(sensors->busAddress(), row.address) << row.ini;
    }
}

TEST(SensorsTables, ValueSplitsAtTheFirstColon)
{
    const struct {
        const char* line;
        int status;
        const char* command;
        const char* format;
    } rows[] = {
        { "TermXCmds=$%1RT", 0, "$%1RT", "" },
        { "TermXCmds=A:B:C", 0, "A", "B:C" },
        { "TermXCmds=:X", 0, ":X", "" },
        { "TermXCmds=A:", 0, "A", "" },
        { "TermXCmds=\"$%1RT:T=%1, C\"", 0, "$%1RT", "T=%1, C" },
        { "TermXCmds=$%1RT:T=%1, C", 0, "$%1RT", "T=%1,C" }, // unquoted: joined, blanks lost
        { "TermXCmds=\"$%1RT:Температура %1 °C\"", 0, "$%1RT", "Температура %1 °C" },
        { "TermXCmds=", -1, "", "" },
        { "OtherKey=A", -1, "", "" },
    };
    for (const auto& row : rows) {
        MonitorFromConfig sensors(modelSection(row.line));
        const Terminal terminal = sensors->loadConfigComand(kModel + QStringLiteral("/TermXCmds"));
        EXPECT_EQ(terminal.status, row.status) << row.line;
        EXPECT_EQ(terminal.command, QString::fromUtf8(row.command)) << row.line;
        EXPECT_EQ(terminal.format, QString::fromUtf8(row.format)) << row.line;
        EXPECT_EQ(terminal.value, QString()) << row.line;
        EXPECT_EQ(terminal.number, 0.0f) << row.line;
    }
}

struct TableCase {
    const char* name;
    const char* keys;
    QMap<int, QString> staticCommands;
    QMap<int, QString> dynamicCommands;
};

QMap<int, QString> commandsOf(const QMap<int, Terminal>& table)
{
    QMap<int, QString> commands;
    for (auto entry = table.begin(); entry != table.end(); ++entry)
        commands.insert(entry.key(), entry.value().command);
    return commands;
}

TEST(SensorsTables, KeysOfTheStaticAndDynamicChannels)
{
    const TableCase rows[] = {
        { "nothing configured", "", {}, {} },
        { "only Error", "ErrorCmds=e\n", { { 0, "e" } }, {} },
        { "static keys follow the load order, names without a value skipped",
            "ErrorCmds=e\nGreenCmds=g\nHitWDTCmds=h\nMuteCmds=\n", { { 0, "h" }, { 1, "g" }, { 2, "e" } }, {} },
        { "all six static", "HitWDTCmds=1\nOdmCmds=2\nGreenCmds=3\nMuteCmds=4\nErrorsCmds=5\nErrorCmds=6\n",
            { { 0, "1" }, { 1, "2" }, { 2, "3" }, { 3, "4" }, { 4, "5" }, { 5, "6" } }, {} },
        { "Cool after Term", "Term0Cmds=t0\nTerm1Cmds=t1\nCool0Cmds=c0\n", {},
            { { 0, "t0" }, { 1, "t1" }, { 2, "c0" } } },
        { "Cool alone starts at 0", "Cool0Cmds=c0\nCool1Cmds=c1\n", {}, { { 0, "c0" }, { 1, "c1" } } },
        { "numbers from 16 up are never read", "Term15Cmds=t15\nTerm16Cmds=t16\nCool16Cmds=c16\n", {},
            { { 15, "t15" } } },
        // With a gap in the Term numbers, Cool0 must not take Term2's key.
        { "gap in the Term numbers", "Term0Cmds=t0\nTerm2Cmds=t2\nCool0Cmds=c0\n", {},
            { { 0, "t0" }, { 2, "t2" }, { 3, "c0" } } },
        { "gap in the Cool numbers", "Term0Cmds=t0\nCool1Cmds=c1\nCool3Cmds=c3\n", {},
            { { 0, "t0" }, { 2, "c1" }, { 4, "c3" } } },
        { "only a high Term", "Term15Cmds=t15\nCool15Cmds=c15\n", {}, { { 15, "t15" }, { 31, "c15" } } },
        { "section and key names in any letter case", "term0cmds=t0\nCOOL0CMDS=c0\nhitwdtcmds=h\n", { { 0, "h" } },
            { { 0, "t0" }, { 1, "c0" } } },
    };
    for (const auto& row : rows) {
        MonitorFromConfig sensors(modelSection(row.keys));
        EXPECT_EQ(commandsOf(sensors->staticTable()), row.staticCommands) << row.name;
        EXPECT_EQ(commandsOf(sensors->dynamicTable()), row.dynamicCommands) << row.name;
        for (const Terminal& terminal : sensors->dynamicTable())
            EXPECT_EQ(terminal.status, 0) << row.name;
    }
}

TEST(SensorsTables, AnotherModelsSectionIsNotRead)
{
    MonitorFromConfig sensors(QStringLiteral("[RD_PQM]\nTerm0Cmds=t0\nHitWDTCmds=h\n"));
    EXPECT_TRUE(sensors->staticTable().isEmpty());
    EXPECT_TRUE(sensors->dynamicTable().isEmpty());
}

TEST(SensorsTables, ConfigurationLinesByteForByte)
{
    LogCapture log;
    MonitorFromConfig sensors(modelSection("HitWDTCmds=$%1H\n"
                                           "ErrorCmds=\"$%1E:Ошибка: %1\"\n"
                                           "Term0Cmds=$%1T0:T0=%1\n"
                                           "Term1Cmds=$%1T1\n"
                                           "Cool0Cmds=$%1C0:\n"
                                           "Term16Cmds=never\n"));
    EXPECT_EQ(log.lines(),
        (QStringList {
            QStringLiteral(
                R"([DEBUG] Configured terminal 0 for device "Valkerinde2.3" command: "$%1T0" "format:T0=%1")"),
            QStringLiteral(R"([DEBUG] Configured terminal 1 for device "Valkerinde2.3" command: "$%1T1" "")"),
            QStringLiteral(R"([DEBUG] Configured terminal 2 for device "Valkerinde2.3" command: "$%1C0" "")"),
            QStringLiteral(R"([DEBUG] GenericDevice created: type= "Valkerinde2.3" terminals= 3)"),
            QStringLiteral(R"([DEBUG] Configured  0 for device "Valkerinde2.3" command: "$%1H" "")"),
            QStringLiteral(R"([DEBUG] Configured  1 for device "Valkerinde2.3" command: "$%1E" "format:Ошибка: %1")"),
        }));
}

TEST(SensorsTables, WithoutChannelsOnlyTheSummary)
{
    LogCapture log;
    MonitorFromConfig sensors(QStringLiteral("[Vendor_Tarvelo]\nPort=/dev/null\n"), QStringLiteral("Z555"));
    EXPECT_EQ(
        log.lines(), QStringList { QStringLiteral(R"([DEBUG] GenericDevice created: type= "Z555" terminals= 0)") });
}

TEST(SensorsTables, CoolKeyInTheLineFollowsTheHighestTerm)
{
    LogCapture log;
    MonitorFromConfig sensors(modelSection("Term0Cmds=t0\nTerm2Cmds=t2\nCool0Cmds=c0\n"));
    EXPECT_EQ(log.lines().filter(QStringLiteral("\"c0\"")),
        QStringList { QStringLiteral(R"([DEBUG] Configured terminal 3 for device "Valkerinde2.3" command: "c0" "")") });
    EXPECT_EQ(
        log.lines().last(), QStringLiteral(R"([DEBUG] GenericDevice created: type= "Valkerinde2.3" terminals= 3)"));
}

} // namespace
