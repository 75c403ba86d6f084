#include "core/config.h"
#include "core/globals.h"
#include "strategy/superio_manager.h"
#include "support/daemon_harness.h"
#include "support/log_capture.h"

#include <QFile>
#include <QLoggingCategory>

#include <gtest/gtest.h>

#include <optional>

namespace {

class ConfigTest : public ::testing::Test {
protected:
    void TearDown() override { QLoggingCategory::setFilterRules(QString()); }

    // The settings object of the daemon: INI with the UTF-8 codec. A file of
    // its own every time: Qt keeps a parsed file for as long as its size and
    // time stamp stay the same, and two rows of one size written within the
    // same second would read alike.
    std::unique_ptr<QSettings> settingsFor(const QString& ini)
    {
        const QString path = harness.path(QStringLiteral("wdt-%1.ini").arg(++files));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(ini.toUtf8());
        file.close();
        auto settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
        settings->setIniCodec("UTF-8");
        return settings;
    }

    DaemonHarness harness;
    LogCapture log;
    int files = 0;
};

TEST(SwitchForm, AcceptedWordsAndNumbers)
{
    const struct {
        const char* text;
        bool on;
    } rows[] = {
        { "on", true },
        { "ON", true },
        { "True", true },
        { "1", true },
        { "01", true },
        { "yes", false },
        { "2", false },
        { "", false },
        { "off", false },
        { "enabled", false },
        { "0", false },
        { "tru", false },
        { "-1", false },
    };
    for (const auto& row : rows)
        EXPECT_EQ(readSwitch(QString::fromUtf8(row.text)), row.on) << row.text;
}

TEST(HexForm, WithOrWithoutPrefixUnreadableIsZero)
{
    const struct {
        const char* text;
        uint value;
    } rows[] = {
        { "0x2E", 0x2E },
        { "2e", 0x2E },
        { "10", 16 },
        { "0XAA", 0xAA },
        { "zz", 0 },
        { "", 0 },
        { "0x", 0 },
        { " 4E ", 0x4E },
    };
    for (const auto& row : rows)
        EXPECT_EQ(readHex(QString::fromUtf8(row.text)), row.value) << row.text;
}

TEST(ParseCmds, ItemFormsAndLowByteOfEachNumber)
{
    const struct {
        QStringList items;
        RegList expected;
    } rows[] = {
        { { "0x07:0x87" }, { { 0x07, 0x87 } } },
        { { "07:87" }, { { 0x07, 0x87 } } },
        { { "::0x07:0x87" }, { { 0x07, 0x87 } } },
        { { "0x07:" }, {} },
        { { ":0x07" }, {} },
        { { "0x07" }, {} },
        { { "0x07:0x87:0x01" }, {} },
        { { "0x07:zz" }, {} },
        { { "0x0G:0x07" }, {} },
        { { "0x07:0x107" }, { { 0x07, 0x07 } } },
        { { "" }, {} },
        { {}, {} },
        { { "0x07:0x07", "bad", "f6:1e", "0x07:0x07" }, { { 0x07, 0x07 }, { 0xF6, 0x1E }, { 0x07, 0x07 } } },
    };
    for (const auto& row : rows)
        EXPECT_EQ(parseCmds(row.items), row.expected) << row.items.join(QLatin1Char(',')).toStdString();
}

TEST(ParseCmds, UnreadableNumberIsSkippedWithAWarningNotWrittenAsZero)
{
    const LogCapture log;
    EXPECT_EQ(parseCmds({ QStringLiteral("0x07:0x0G"), QStringLiteral("0xF5:0x60"), QStringLiteral("0x07") }),
        (RegList { { 0xF5, 0x60 } }));
    EXPECT_EQ(log.lines(),
        QStringList { QStringLiteral("[WARN ] Ignoring register command \"0x07:0x0G\": register "
                                     "and value must be hexadecimal numbers") });
}

TEST_F(ConfigTest, DebugSwitchWithItsFallbackKey)
{
    const struct {
        const char* ini;
        bool on;
    } rows[] = {
        { "", false },
        { "[Debug]\nEnabled=true\n", true },
        { "[Debug]\nEnabled=yes\n", false },
        { "[Debug]\nEnabled=\n[Watchdog]\nDebug=true\n", true },
        { "[Watchdog]\nDebug=ON\n", true },
        { "[Debug]\nEnabled=off\n[Watchdog]\nDebug=true\n", false },
        { "[debug]\nenabled=1\n", true },
    };
    for (const auto& row : rows) {
        harness.writeConfig(QString::fromUtf8(row.ini));
        const int before = log.lines().size();
        setupDebugFromConfig(CONFIG_FILE);
        EXPECT_EQ(QLoggingCategory::defaultCategory()->isDebugEnabled(), row.on) << row.ini;
        ASSERT_EQ(log.lines().size(), before + 1);
        EXPECT_EQ(log.lines().last(),
            row.on ? QStringLiteral("[INFO ] === DEBUG MODE ENABLED from config ===")
                   : QStringLiteral("[INFO ] === DEBUG MODE DISABLED from config ==="))
            << row.ini;
    }
}

TEST_F(ConfigTest, DebugOffDropsDebugMessagesOfEveryCategory)
{
    setupDebugFromConfig(CONFIG_FILE); // no file: off
    qDebug() << "hidden";
    QLoggingCategory other("wdt.other");
    qCDebug(other) << "hidden too";
    EXPECT_EQ(log.count(QStringLiteral("hidden")), 0);
}

TEST_F(ConfigTest, StartupReadersLeaveUtf8TextsIntactForLaterReaders)
{
    // The INI reader keeps a parsed file for the whole process: a first
    // reading in another encoding would garble every later one.
    harness.writeConfig(QStringLiteral("[Valkerinde2.3]\nTerm0Cmds=$%1RT0:CPU %1 °C\n"));
    setupDebugFromConfig(CONFIG_FILE);
    setupTarveloForce(CONFIG_FILE);
    setupMonitoringFromConfig(CONFIG_FILE);
    QSettings settings(CONFIG_FILE, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    EXPECT_EQ(configText(settings, QStringLiteral("Valkerinde2.3/Term0Cmds")), QStringLiteral("$%1RT0:CPU %1 °C"));
}

TEST_F(ConfigTest, ForcingTheSerialBoardLogsOnlyWhenOn)
{
    harness.writeConfig(QStringLiteral("[Global]\nForceTarvelo=off\n"));
    setupTarveloForce(CONFIG_FILE);
    EXPECT_FALSE(tarveloEnabled);
    EXPECT_TRUE(log.lines().isEmpty());

    harness.writeConfig(QStringLiteral("[Global]\nForceTarvelo=True\n"));
    setupTarveloForce(CONFIG_FILE);
    EXPECT_TRUE(tarveloEnabled);
    EXPECT_EQ(log.lines(), QStringList { QStringLiteral("[INFO ] === Принудительный выбор Tarvelo ===") });
}

TEST_F(ConfigTest, MonitoringSwitchAndInterval)
{
    const struct {
        const char* ini;
        bool on;
        int interval;
        int warnings;
    } rows[] = {
        { "", false, 60000, 0 },
        { "[Vendor_Tarvelo]\nEnvMonitor=Enabled\n", true, 60000, 0 },
        { "[Vendor_Tarvelo]\nEnvMonitor=enable\nEnvIntervalMs=1500\n", true, 1500, 0 },
        { "[Vendor_Tarvelo]\nEnvMonitor=2\n", false, 60000, 0 },
        { "[Vendor_Tarvelo]\nEnvMonitor=TRUE\nEnvIntervalMs=0\n", true, 60000, 1 },
        { "[Vendor_Tarvelo]\nEnvMonitor=1\nEnvIntervalMs=abc\n", true, 60000, 1 },
        // Would be a negative period once stored in an int.
        { "[Vendor_Tarvelo]\nEnvMonitor=on\nEnvIntervalMs=3000000000\n", true, 60000, 1 },
        { "[Vendor_Tarvelo]\nEnvMonitor=on\nEnvIntervalMs=-5\n", true, 60000, 1 },
        { "[Vendor_Tarvelo]\nEnvMonitor=on\nEnvIntervalMs=2147483647\n", true, 2147483647, 0 },
        // A list to the INI reader, not an empty value.
        { "[Vendor_Tarvelo]\nEnvMonitor=on\nEnvIntervalMs=60,000\n", true, 60000, 1 },
    };
    for (const auto& row : rows) {
        harness.writeConfig(QString::fromUtf8(row.ini));
        envIntervalMs = 60000;
        const LogCapture rowLog;
        setupMonitoringFromConfig(CONFIG_FILE);
        EXPECT_EQ(envEnabled, row.on) << row.ini;
        EXPECT_EQ(envIntervalMs, row.interval) << row.ini;
        const QStringList lines = rowLog.lines();
        ASSERT_EQ(lines.size(), row.warnings + 1) << row.ini;
        EXPECT_EQ(rowLog.count(QStringLiteral("[WARN ] Ignoring \"Vendor_Tarvelo/EnvIntervalMs\"")), row.warnings);
        EXPECT_EQ(lines.last(),
            row.on
                ? QStringLiteral("[INFO ] === Monitoring enabled from config. Interval(ms): %1  ===").arg(row.interval)
                : QStringLiteral("[INFO ] === Monitoring disabled from config. ==="));
    }
}

TEST_F(ConfigTest, VendorSectionBecomesVendorConfig)
{
    auto settings = settingsFor(QStringLiteral("[Vendor_Fintek]\n"
                                               "EnterKey=0x87, 0x87\n"
                                               "ExitKey=0x1AA\n"
                                               "StartCmds=0x07:0x07, 0xF5:0x60, bad\n"
                                               "StopCmds=0xF5:0x00\n"
                                               "[Vendor_ITE]\n"
                                               "EnterKey=\n"
                                               "[Vendor_Nuvoton]\n"
                                               "EnterKey=zz, 0x87, 0x187\n"
                                               "ExitKey=zz\n"));
    const LogCapture log;
    const VendorConfig fintek = readVendorConfig(*settings, QStringLiteral("Fintek"));
    EXPECT_EQ(fintek.enterKey, (std::vector<uint8_t> { 0x87, 0x87 }));
    EXPECT_EQ(fintek.exitKey, 0xAA);
    EXPECT_EQ(fintek.startCmds, (RegList { { 0x07, 0x07 }, { 0xF5, 0x60 } }));
    EXPECT_EQ(fintek.stopCmds, (RegList { { 0xF5, 0x00 } }));
    EXPECT_TRUE(fintek.feedCmds.empty());

    // Present but empty: one zero byte. Absent: no bytes and the default exit key.
    EXPECT_EQ(readVendorConfig(*settings, QStringLiteral("ITE")).enterKey, std::vector<uint8_t> { 0x00 });
    EXPECT_EQ(readVendorConfig(*settings, QStringLiteral("ITE")).exitKey, 0xAA);
    // A typo in a key is no byte of it, not a 0x00.
    const VendorConfig nuvoton = readVendorConfig(*settings, QStringLiteral("Nuvoton"));
    EXPECT_EQ(nuvoton.enterKey, std::vector<uint8_t> { 0x87 });
    EXPECT_EQ(log.lines(),
        (QStringList {
            QStringLiteral("[WARN ] Ignoring \"Vendor_Nuvoton/EnterKey\" item \"zz\": not a byte, 0x00 to 0xFF"),
            QStringLiteral("[WARN ] Ignoring \"Vendor_Nuvoton/EnterKey\" item \"0x187\": not a byte, 0x00 to 0xFF") }));
    EXPECT_EQ(nuvoton.exitKey, 0x00);
    EXPECT_TRUE(readVendorConfig(*settings, QStringLiteral("Other")).enterKey.empty());
}

TEST_F(ConfigTest, EnterKeyAndCounterRegisterThatReplaceTheBuiltInOnes)
{
    const struct {
        const char* keys;
        bool keyConfigured;
        std::optional<uint8_t> counter;
        const char* warning;
    } rows[] = {
        { "", false, {}, nullptr },
        { "EnterKey=0x87,0x87\nCounterRegister=0x73\n", true, 0x73, nullptr },
        { "EnterKey=\nCounterRegister=f6\n", false, 0xF6, nullptr },
        { "EnterKey=0x00\n", true, {}, nullptr },
        { "CounterRegister=zz\n", false, {}, "\"zz\"" },
        { "CounterRegister=\n", false, {}, "\"\"" },
        { "CounterRegister=0x100\n", false, {}, "\"0x100\"" },
        // Global registers: 0x02 would reset the chip's devices.
        { "CounterRegister=0x02\n", false, {}, "\"0x02\"" },
        { "CounterRegister=0x2F\n", false, {}, "\"0x2F\"" },
        { "CounterRegister=0x30\n", false, 0x30, nullptr },
        { "CounterRegister=0x73,0x74\n", false, {}, "\"0x73,0x74\"" },
    };
    for (const auto& row : rows) {
        const LogCapture rowLog;
        const VendorConfig config = readVendorConfig(
            *settingsFor(QStringLiteral("[Vendor_ITE]\n") + QString::fromUtf8(row.keys)), QStringLiteral("ITE"));
        EXPECT_EQ(config.enterKeyConfigured, row.keyConfigured) << row.keys;
        EXPECT_EQ(config.counterRegister, row.counter) << row.keys;
        EXPECT_EQ(rowLog.lines(),
            row.warning ? QStringList { QStringLiteral("[WARN ] Ignoring \"Vendor_ITE/CounterRegister\" = %1: not a "
                                                       "register of a logical device, 0x30 to 0xFF")
                                            .arg(QLatin1String(row.warning)) }
                        : QStringList())
            << row.keys;
    }
}

TEST_F(ConfigTest, SerialBoardProbeSwitchIsOnUnlessSwitchedOff)
{
    const struct {
        const char* ini;
        bool on;
    } rows[] = {
        { "", true },
        { "[Vendor_Tarvelo]\nProbe=\n", true },
        { "[Vendor_Tarvelo]\nProbe=on\n", true },
        { "[vendor_tarvelo]\nprobe=TRUE\n", true },
        { "[Vendor_Tarvelo]\nProbe=off\n", false },
        { "[Vendor_Tarvelo]\nProbe=0\n", false },
        { "[Vendor_Tarvelo]\nProbe=no\n", false },
    };
    for (const auto& row : rows)
        EXPECT_EQ(readSerialBoardProbe(*settingsFor(QString::fromUtf8(row.ini))), row.on) << row.ini;
}

TEST_F(ConfigTest, LoadVendorConfigConfiguresAndAppends)
{
    auto settings = settingsFor(QStringLiteral("[Vendor_ITE]\nStopCmds=0x07:0x07\n"));
    SuperIOManager manager;
    auto first = harness.fake("Fintek");
    auto second = harness.fake("Ite");
    loadVendorConfig(*settings, QStringLiteral("Fintek"), first, manager);
    loadVendorConfig(*settings, QStringLiteral("ITE"), second, manager);
    ASSERT_EQ(manager.strategies.size(), 2u);
    EXPECT_EQ(manager.strategies[0], first);
    EXPECT_EQ(manager.strategies[1], second);
    EXPECT_TRUE(first->configured);
    EXPECT_EQ(second->config.stopCmds, (RegList { { 0x07, 0x07 } }));
}

TEST_F(ConfigTest, ScanPorts)
{
    const struct {
        const char* ini;
        std::vector<uint16_t> ports;
    } rows[] = {
        { "", { 0x2E, 0x4E } },
        { "[Global]\nScanPorts=0x4E\n", { 0x4E } },
        { "[Global]\nScanPorts=\n", {} },
        // 0xFFFF has its data port at 0, like port 0 itself.
        { "[Global]\nScanPorts=4e, 0x2E, zz, 0, 0x1002E, 0xFFFF, 0xFFFE\n", { 0x4E, 0x2E, 0xFFFE } },
    };
    for (const auto& row : rows)
        EXPECT_EQ(readScanPorts(*settingsFor(QString::fromUtf8(row.ini))), row.ports) << row.ini;
    const LogCapture skipped;
    readScanPorts(*settingsFor(QStringLiteral("[Global]\nScanPorts=0x2E, zz, 0xFFFF\n")));
    EXPECT_EQ(skipped.lines(),
        (QStringList { QStringLiteral("[WARN ] Ignoring \"Global/ScanPorts\" item \"zz\": not an I/O port number"),
            QStringLiteral("[WARN ] Ignoring \"Global/ScanPorts\" item \"0xFFFF\": not an I/O port number") }));
}

TEST_F(ConfigTest, FeedIntervalLookupIgnoresUnusableValuesWithAWarning)
{
    const struct {
        const char* ini;
        int interval;
        int warnings;
    } rows[] = {
        { "", 3000, 0 },
        { "[Global]\nIntervalMs=5000\n", 5000, 0 },
        { "[Global]\nIntervalMs=1000\n", 1000, 0 },
        { "[Global]\nIntervalMs=5000\n[IT8728F]\nIntervalMs=1000\n", 1000, 0 },
        { "[Global]\nIntervalMs=5000\n[IT8728F]\nIntervalMs=499\n", 499, 0 },
        // Where the timeout fills its 8 bits, and the longest interval it
        // covers: the reader takes them as they are.
        { "[Global]\nIntervalMs=127000\n", 127000, 0 },
        { "[Global]\nIntervalMs=127500\n", 127500, 0 },
        { "[Global]\nIntervalMs=254999\n", 254999, 0 },
        { "[Global]\nIntervalMs=abc\n", 3000, 1 },
        { "[Global]\nIntervalMs=0\n", 3000, 1 },
        { "[Global]\nIntervalMs=-1000\n", 3000, 1 },
        { "[Global]\nIntervalMs=5000\n[IT8728F]\nIntervalMs=abc\n", 5000, 1 },
        { "[Global]\nIntervalMs=-1\n[IT8728F]\nIntervalMs=\n", 3000, 2 },
        { "[Global]\nIntervalMs=99999999999\n", 3000, 1 },
    };
    for (const auto& row : rows) {
        const LogCapture rowLog;
        EXPECT_EQ(readIntervalMs(*settingsFor(QString::fromUtf8(row.ini)), QStringLiteral("IT8728F")), row.interval)
            << row.ini;
        EXPECT_EQ(rowLog.count(QStringLiteral("[WARN ] Ignoring \"")), row.warnings) << row.ini;
        EXPECT_EQ(rowLog.lines().size(), row.warnings) << row.ini;
    }
    // Named as written, also when the INI reader made a list of the value.
    for (const char* value : { "abc", "1,500" }) {
        const LogCapture named;
        readIntervalMs(*settingsFor(QStringLiteral("[Global]\nIntervalMs=%1\n").arg(QLatin1String(value))),
            QStringLiteral("IT8728F"));
        EXPECT_EQ(named.lines(),
            QStringList {
                QStringLiteral("[WARN ] Ignoring \"Global/IntervalMs\" = \"%1\": not a positive number of milliseconds")
                    .arg(QLatin1String(value)) });
    }
}

TEST_F(ConfigTest, RegisterListsComeFromTheModelSectionWhenPresentThereEvenEmpty)
{
    auto settings = settingsFor(QStringLiteral("[Vendor_Fintek]\n"
                                               "StartCmds=0x07:0x07, 0xF5:0x60\n"
                                               "StopCmds=0xF5:0x00\n"
                                               "FeedCmds=0xF5:0x61\n"
                                               "[F81866]\n"
                                               "StartCmds=\n"
                                               "FeedCmds=0x07:0x07\n"));
    FakeStrategy fintek("Fintek", harness.journal, "F81866");
    handOverRegisterLists(*settings, fintek, QStringLiteral("F81866"), QStringLiteral("Vendor_Fintek"));
    EXPECT_TRUE(fintek.handedStart().empty());
    EXPECT_EQ(fintek.handedStop(), (RegList { { 0xF5, 0x00 } }));
    EXPECT_EQ(fintek.handedFeed(), (RegList { { 0x07, 0x07 } }));

    FakeStrategy other("Fintek", harness.journal, "Generic_Fintek");
    handOverRegisterLists(*settings, other, QStringLiteral("Generic_Fintek"), QStringLiteral("Vendor_Fintek"));
    EXPECT_EQ(other.handedStart(), (RegList { { 0x07, 0x07 }, { 0xF5, 0x60 } }));

    // "Ite" finds the section written [Vendor_ITE]: letter case is ignored.
    auto ite = settingsFor(QStringLiteral("[Vendor_ITE]\nStopCmds=0x72:0x00\n"));
    FakeStrategy iteStrategy("Ite", harness.journal, "IT8728F");
    handOverRegisterLists(*ite, iteStrategy, QStringLiteral("IT8728F"), QStringLiteral("Vendor_Ite"));
    EXPECT_EQ(iteStrategy.handedStop(), (RegList { { 0x72, 0x00 } }));
}

TEST_F(ConfigTest, DconTemplatesFallBackToTheVendorSectionWhenEmpty)
{
    auto settings = settingsFor(QStringLiteral("[Vendor_Tarvelo]\n"
                                               "StartCmds=$%1WS\n"
                                               "StopCmds=$%1WD\n"
                                               "FeedCmds=$%1WF\n"
                                               "[TV-100]\n"
                                               "StartCmds=\n"
                                               "FeedCmds=~%1**\n"
                                               "SetCmds=~%1WT%2\n"));
    SuperIOManager manager;
    auto board = harness.fake("Tarvelo", "TV-100");
    board->setDconCommands(QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d"));
    manager.current = board;
    handOverDconTemplates(*settings, manager, QStringLiteral("TV-100"));
    EXPECT_EQ(board->handedDcon(),
        (QStringList {
            QStringLiteral("$%1WS"), QStringLiteral("$%1WD"), QStringLiteral("~%1**"), QStringLiteral("~%1WT%2") }));

    // An unquoted comma splits a value into a list; the command is kept whole.
    const LogCapture commaLog;
    handOverDconTemplates(*settingsFor(QStringLiteral("[TV-100]\nFeedCmds=~%1F, 1\nStartCmds=\"$%1S, 2\"\n")), manager,
        QStringLiteral("TV-100"));
    EXPECT_EQ(board->handedDcon().mid(0, 3),
        (QStringList { QStringLiteral("$%1S, 2"), QString(), QStringLiteral("~%1F,1") }));
    EXPECT_EQ(commaLog.lines(),
        QStringList { QStringLiteral("[WARN ] Value of \"TV-100/FeedCmds\" contains a comma and "
                                     "is read as \"~%1F,1\"; write it in double quotes") });

    // Absent everywhere: empty texts replace the earlier templates.
    auto empty = settingsFor(QString());
    handOverDconTemplates(*empty, manager, QStringLiteral("TV-100"));
    EXPECT_EQ(board->handedDcon(), (QStringList { QString(), QString(), QString(), QString() }));
}

} // namespace
