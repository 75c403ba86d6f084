#include "core/config_check.h"
#include "core/globals.h"
#include "sim/in_process_daemon.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* name;
    const char* ini; // nullptr: no file at all
    int exitCode;
    std::vector<const char*> lines; // each must be a line of the report
};

const Case kCases[] = {
    { "NoFileIsAllDefaults", nullptr, 1,
        { "No file to read: every default applies.", "  Global/IntervalMs = 3000 ms   (default: 3000)",
            "  Vendor_Tarvelo/Probe = on   (default: on)", "  Vendor_ITE/CounterRegister = 0x74   (default: 0x74)",
            "  port 0x2E: Fintek, ITE, Nuvoton, serial board on \"/dev/ttyS0\" (9600 baud, address 01)",
            "  Global: 3000 ms, timeout 7 s", "1 thing(s) to look at." } },
    { "TyposAndSwitchWords",
        "[Global]\nIntervallMs=1000\n[Vendor_Tarvelo]\nEnvMonitor=yes\nProbe=no\n[Vendr_ITE]\nExitKey=0xAA\n", 1,
        { "  warning: key Global/IntervallMs is not read (did you mean Global/IntervalMs?)",
            "  warning: section [Vendr_ITE] is not read (did you mean Vendor_ITE?)",
            "  warning: Vendor_Tarvelo/EnvMonitor = \"yes\": not a switch word, reads as off (accepted: on, true, 1, "
            "off, false, 0, enabled, enable)",
            "  warning: Vendor_Tarvelo/Probe = \"no\": not a switch word, reads as off (accepted: on, true, 1, off, "
            "false, 0)",
            "  the serial board is not probed (Vendor_Tarvelo/Probe off)", "  port 0x4E: Fintek, ITE, Nuvoton" } },
    // The readers' own warnings, as the daemon would log them, and the
    // effective value they leave.
    { "ReadersWarnings", "[Global]\nIntervalMs=1,500\nScanPorts=0x4E,0xFFFF\n[IT8728F]\nIntervalMs=300000\n", 1,
        { "  Global/IntervalMs = 3000 ms   (file: \"1,500\")", "  Global/ScanPorts = 0x4E   (file: \"0x4E,0xFFFF\")",
            "  warning: [WARN ] Ignoring \"Global/IntervalMs\" = \"1,500\": not a positive number of milliseconds",
            "  warning: [IT8728F]: 300000 ms leaves no timeout the hardware can hold: the daemon refuses to start "
            "(exit code 1)" } },
    { "SuperIoStartFeedStop",
        "[Vendor_Fintek]\nEnterKey=0x87,0x87\nStartCmds=0x07:0x07,0x30:0x01\nFeedCmds=0x07:0x07\n"
        "[Vendor_Nuvoton]\nEnterKey=0x87,0x87\n[F81866]\nStopCmds=0x07:0x07,0xF5:0x00\n",
        1,
        { "  Vendor_Fintek/EnterKey = 0x87 0x87   (file: \"0x87,0x87\")",
            "  Fintek start: StartCmds (2 writes), then the timeout into register 0xF6",
            "  Fintek feed: FeedCmds (1 write), then the timeout into register 0xF6",
            "  warning: Fintek stop: only unlocks and locks the chip: the watchdog stays armed after a stop and "
            "resets the machine",
            "  Fintek [F81866] stop: the model section's StopCmds (2 writes): disarms only if the list does",
            "  Nuvoton feed: the whole start again",
            "  Nuvoton stop: the driver's own writes (0x07:0x08), register 0xF6 cleared" } },
    { "SerialBoardWithoutStopStaysArmed",
        "[Global]\nForceTarvelo=on\nScanPorts=\n[Vendor_Tarvelo]\nStartCmd=~%1WS\nFeedCmds=~%1WF\nSetCmds=~%1WT%2\n"
        "[Z555]\nIntervalMs=1000\nStopCmds=~%1WP\nTerm0Cmds=$%1T0:T0=%1\n",
        1,
        { "  no usable port: only the serial board is probed, once",
            "  serial board, model without a section start: sends \"~01WT07\"",
            "  warning: serial board, model without a section stop: sends nothing (no StopCmds): the board stays "
            "armed after a stop and resets the machine",
            "  serial board [Z555] stop: sends \"~01WP\"",
            "  warning: Vendor_Tarvelo/StartCmd is replaced at detection by Vendor_Tarvelo/StartCmds, which is empty",
            "  [Z555] Term0: command \"$%1T0\", shown as \"T0=%1\"" } },
    { "ForcedBoardWithProbeOff", "[Global]\nForceTarvelo=true\n[Vendor_Tarvelo]\nProbe=off\nFeedCmds=x\nStopCmds=y\n",
        1,
        { "  warning: Global/ForceTarvelo is on and Vendor_Tarvelo/Probe is off: the daemon refuses to start (exit "
          "code 1)" } },
};

class ConfigCheck : public ::testing::TestWithParam<Case> { };

TEST_P(ConfigCheck, ReportsWhatTheDaemonWouldMakeOfTheFile)
{
    const Case& c = GetParam();
    const InProcessDaemon daemon;
    if (c.ini)
        daemon.writeConfig(QString::fromUtf8(c.ini));
    const bool forcedBefore = tarveloEnabled;
    const ConfigReport report = checkConfiguration(daemon.environment().configFile);
    const QString text = report.lines.join('\n');
    EXPECT_EQ(report.exitCode(), c.exitCode) << text.toStdString();
    for (const char* line : c.lines)
        EXPECT_TRUE(report.lines.contains(QString::fromUtf8(line))) << line << "\n---\n" << text.toStdString();
    // Only the file was read: the switches are as before, nothing was logged.
    EXPECT_EQ(tarveloEnabled, forcedBefore);
    EXPECT_FALSE(QFile::exists(daemon.environment().logFile));
}

INSTANTIATE_TEST_SUITE_P(Files, ConfigCheck, ::testing::ValuesIn(kCases),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

} // namespace
