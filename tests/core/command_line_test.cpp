#include "core/command_line.h"
#include "support/daemon_harness.h"
#include "support/log_capture.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace {

using Action = CommandLine::Action;

struct Row {
    std::vector<const char*> arguments; // after the program name
    Action action;
    const char* checkFile;
    const char* unknown;
};

const Row kRows[] = {
    { {}, Action::RunDaemon, "", "" },
    // Not options: left for the application object, as ever.
    { { "foo", "bar" }, Action::RunDaemon, "", "" },
    { { "--", "--help", "-x" }, Action::RunDaemon, "", "" },
    { { "--help" }, Action::Help, "", "" },
    { { "-h" }, Action::Help, "", "" },
    { { "--version" }, Action::Version, "", "" },
    { { "-V" }, Action::Version, "", "" },
    { { "--version", "--help" }, Action::Help, "", "" },
    { { "--check" }, Action::Check, "", "" },
    { { "--check", "/etc/other.ini" }, Action::Check, "/etc/other.ini", "" },
    { { "--check=/etc/other.ini" }, Action::Check, "/etc/other.ini", "" },
    { { "--check", "--", "-odd.ini" }, Action::Check, "-odd.ini", "" },
    { { "--check", "--help" }, Action::Help, "", "" },
    // Anything unknown that starts with "-" wins over everything: nothing runs.
    { { "--bogus" }, Action::UsageError, "", "--bogus" },
    { { "-" }, Action::UsageError, "", "-" },
    { { "--help", "--helpp" }, Action::UsageError, "", "--helpp" },
    { { "--check", "a.ini", "-v" }, Action::UsageError, "", "-v" },
    { { "--checkx" }, Action::UsageError, "", "--checkx" },
};

TEST(CommandLine, ArgumentVectorsGiveTheirAction)
{
    for (const Row& row : kRows) {
        std::vector<const char*> argv = { "wdt-daemon" };
        argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
        const CommandLine line = parseCommandLine(static_cast<int>(argv.size()), argv.data());
        std::string joined;
        for (const char* argument : row.arguments)
            joined += std::string(" ") + argument;
        EXPECT_EQ(line.action, row.action) << joined;
        EXPECT_EQ(line.unknown.toStdString(), row.unknown) << joined;
        if (row.action == Action::Check) {
            EXPECT_EQ(line.checkFile.toStdString(), row.checkFile) << joined;
        }
    }
}

// The options run through the program's entry, as main calls it, with the
// machine's paths in a temporary directory: a run that went past the options
// would reach the fake privileges, log into the directory or eat the marker.
struct ProgramRun {
    DaemonHarness daemon;
    std::ostringstream out;
    std::ostringstream err;

    ProgramRun()
    {
        QFile marker(daemon.environment().testFile);
        EXPECT_TRUE(marker.open(QIODevice::WriteOnly));
    }

    int run(std::vector<const char*> arguments)
    {
        arguments.insert(arguments.begin(), "/usr/sbin/wdt-daemon");
        std::vector<char*> argv;
        for (const char* argument : arguments)
            argv.push_back(const_cast<char*>(argument));
        argv.push_back(nullptr);
        return runProgram(
            static_cast<int>(arguments.size()), argv.data(), superIoParts(), daemon.environment(), out, err);
    }

    void expectNothingTouched()
    {
        EXPECT_FALSE(QFile::exists(daemon.environment().logFile));
        EXPECT_TRUE(QFile::exists(daemon.environment().testFile));
        EXPECT_EQ(daemon.fakePlatform.ioplCalls, 0);
        EXPECT_TRUE(daemon.fakePlatform.trace.empty());
    }
};

TEST(CommandLine, OptionsPrintAndExitTouchingNothing)
{
    struct Case {
        std::vector<const char*> arguments;
        int exitCode;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        { { "--help" }, 0, "Usage: wdt-daemon [--check [FILE]]\n", "" },
        { { "-V" }, 0, "wdt-daemon " WDT_TEST_VERSION "\n", "" },
        { { "--bogus", "--help" }, 2, "",
            "wdt-daemon: неизвестный параметр \"--bogus\" (справка: wdt-daemon --help)\n" },
    };
    for (const Case& c : cases) {
        ProgramRun program;
        const LogCapture log;
        EXPECT_EQ(program.run(c.arguments), c.exitCode) << c.arguments[0];
        EXPECT_EQ(program.out.str().rfind(c.out, 0), 0u) << program.out.str();
        EXPECT_EQ(program.err.str(), c.err);
        // The daemon's message handler was not even installed.
        EXPECT_TRUE(log.lines().isEmpty()) << log.lines().join('\n').toStdString();
        program.expectNothingTouched();
    }
}

TEST(CommandLine, CheckReadsTheEnvironmentsFileAndTouchesNothingElse)
{
    ProgramRun program;
    program.daemon.writeConfig(QStringLiteral("[Global]\nIntervalMs=1000\n"));
    EXPECT_EQ(program.run({ "--check" }), 0);
    EXPECT_NE(program.out.str().find("Global/IntervalMs = 1000 ms"), std::string::npos) << program.out.str();
    program.expectNothingTouched();

    ProgramRun other;
    other.daemon.writeConfig(QStringLiteral("[Global]\nIntervallMs=1000\n"));
    EXPECT_EQ(other.run({ "--check", "--", QFile::encodeName(other.daemon.environment().configFile).constData() }), 1);
    EXPECT_NE(other.out.str().find("IntervallMs is not read"), std::string::npos) << other.out.str();
    other.expectNothingTouched();
}

} // namespace
