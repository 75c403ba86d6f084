// The simulator binary run as a user runs it, each time for a few seconds
// in a directory of its own, judged by what it prints.

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <ostream>
#include <poll.h>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Outcome {
    // -1 when it had to be killed.
    int exitCode = -1;
    // Standard output and standard error, as they came.
    QStringList lines;

    int count(const QString& part) const { return lines.filter(part).size(); }
    bool has(const QString& part) const { return count(part) > 0; }
    std::string all() const { return lines.join(QLatin1Char('\n')).toStdString(); }
};

// Runs the simulator in @p directory. Once @p interruptWhen holds for the
// output so far it gets one SIGINT, as from Ctrl-C. A run that never ends
// is killed after a minute, so that a broken simulator fails instead of
// hanging the suite.
Outcome simulate(const QString& directory, const std::vector<std::string>& arguments,
    const std::function<bool(const Outcome&)>& interruptWhen = nullptr)
{
    Outcome run;
    int fds[2];
    if (::pipe(fds) != 0)
        return run;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        if (::chdir(QFile::encodeName(directory).constData()) != 0)
            ::_exit(127);
        std::vector<char*> argv { const_cast<char*>(WDT_SIMULATOR) };
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(WDT_SIMULATOR, argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    std::string output;
    bool interrupted = false;
    for (;;) {
        pollfd readable { fds[0], POLLIN, 0 };
        if (::poll(&readable, 1, 100) > 0) {
            char buffer[4096];
            const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
            if (got <= 0)
                break;
            output.append(buffer, static_cast<std::size_t>(got));
            run.lines = QString::fromStdString(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        }
        if (interruptWhen && !interrupted && interruptWhen(run)) {
            interrupted = true;
            ::kill(child, SIGINT);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            break;
        }
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    run.lines = QString::fromStdString(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class Simulator : public ::testing::Test {
protected:
    void writeConfig(const QString& ini) const
    {
        QFile file(dir.filePath(QStringLiteral("my.ini")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(ini.toUtf8());
    }
    QString file(const QString& name) const { return dir.filePath(name); }
    Outcome simulate(
        const std::vector<std::string>& arguments, const std::function<bool(const Outcome&)>& interruptWhen = nullptr)
    {
        return ::simulate(dir.path(), arguments, interruptWhen);
    }

    QTemporaryDir dir;
};

const QString kSignalStop = QStringLiteral("[INFO ] Получен сигнал 2 . Остановка Watchdog и выход...");
const QString kTimeUp = QStringLiteral("2 s are up: stopping the daemon with SIGINT");

// --- Super I/O chips of each vendor --------------------------------------

struct ChipCase {
    const char* chip;
    const char* base;
    const char* config;
    const char* detected;
    // How the stop leaves the simulated watchdog.
    const char* finally;
    const char* variant = "standard";
};

void PrintTo(const ChipCase& row, std::ostream* out)
{
    *out << row.chip << " at " << row.base;
}

class SimulatedChip : public Simulator, public ::testing::WithParamInterface<ChipCase> { };

TEST_P(SimulatedChip, IsDetectedArmedFedAndLeftAsTheStopSays)
{
    const ChipCase& row = GetParam();
    writeConfig(QStringLiteral("[Global]\nIntervalMs=200\n") + QString::fromUtf8(row.config));
    const Outcome run = simulate(
        { "--chip", row.chip, "--variant", row.variant, "--base", row.base, "--config", "my.ini", "--seconds", "2" });

    EXPECT_EQ(run.exitCode, 0) << run.all();
    EXPECT_TRUE(run.has(QStringLiteral("[INFO ] Обнаружено устройство: ") + QString::fromUtf8(row.detected)))
        << run.all();
    EXPECT_TRUE(run.has(QStringLiteral("watchdog armed: timeout 1 s"))) << run.all();
    EXPECT_GE(run.count(QStringLiteral("watchdog fed")), 2) << run.all();
    EXPECT_TRUE(run.has(kTimeUp)) << run.all();
    EXPECT_TRUE(run.has(kSignalStop)) << run.all();
    EXPECT_TRUE(run.lines.last().contains(QString::fromUtf8(row.finally))) << run.all();
}

INSTANTIATE_TEST_SUITE_P(EachVendor, SimulatedChip,
    ::testing::Values(ChipCase { "F81866", "0x2E",
                          "[Vendor_Fintek]\nEnterKey=0x87,0x87\nStartCmds=0x07:0x07,0xF5:0x20\nFeedCmds=0x07:0x07\n"
                          "StopCmds=0x07:0x07,0xF5:0x00\n",
                          "\"Fintek\" Модель: \"F81866\"", "the daemon exited with code 0" },
        // Without a stop list the enable bit stays set: the watchdog counts on.
        ChipCase { "F71808E", "0x4E", "[Vendor_Fintek]\nEnterKey=0x87,0x87\nStartCmds=0x07:0x07,0xF5:0x20\n",
            "\"Fintek\" Модель: \"F71808E\"", "the watchdog is still armed" },
        ChipCase { "IT8728F", "0x4E", "", "\"Ite\" Модель: \"IT8728F\"", "the daemon exited with code 0" },
        ChipCase {
            "NCT6796D", "0x2E", "", "\"Nuvoton/Winbond\" Модель: \"NCT6796D\"", "the daemon exited with code 0" },
        // Chips unlike the built-in sequences, with the keys that correct them.
        ChipCase { "NCT6776F", "0x2E", "[Vendor_Nuvoton]\nEnterKey=0x87,0x87\n",
            "\"Nuvoton/Winbond\" Модель: \"NCT6776F\"", "the daemon exited with code 0", "key-87-87" },
        ChipCase { "IT8620E", "0x2E",
            "[Vendor_ITE]\nCounterRegister=0x73\nStartCmds=0x07:0x07,0x72:0x80,0x74:0x00\n"
            "StopCmds=0x07:0x07,0x73:0x00,0x74:0x00\n",
            "\"Ite\" Модель: \"IT8620E\"", "the daemon exited with code 0", "counter-16" }),
    [](const ::testing::TestParamInfo<ChipCase>& info) { return std::string(info.param.chip); });

// --- The controller board --------------------------------------------------

TEST_F(Simulator, BoardIsFedAndReadWithDriftingValuesUntilCtrlC)
{
    writeConfig(QStringLiteral("[Global]\nIntervalMs=200\n[Vendor_Tarvelo]\nPort=/dev/ttyS1\nEnvMonitor=on\n"
                               "EnvIntervalMs=300\nStartCmds=~%1ws\nSetCmds=~%1wt%2\nFeedCmds=~%1wf\n"
                               "StopCmds=~%1wp\n[Valkerinde2.3]\nTerm0Cmds=$%1RT0:CPU %1 °C\n"));
    const auto cpuReadings = [](const Outcome& run) { return run.lines.filter(QStringLiteral("[INFO ] \"CPU ")); };
    const Outcome run = simulate({ "--board", "VLK2.3", "--config", "my.ini", "--log", "sub.log", "--seconds", "0" },
        [&](const Outcome& sofar) { return cpuReadings(sofar).size() >= 3; });

    EXPECT_EQ(run.exitCode, 0) << run.all();
    EXPECT_TRUE(run.has(QStringLiteral("Обнаружено устройство: \"Tarvelo\" Модель: \"Valkerinde2.3\" ( \"VLK2.3\" )")))
        << run.all();
    // Arming and setting the timeout come moments apart; the status may
    // show them as one.
    EXPECT_TRUE(run.has(QStringLiteral("watchdog timeout set to 1 s"))
        || run.has(QStringLiteral("watchdog armed: timeout 1 s")))
        << run.all();
    EXPECT_GE(run.count(QStringLiteral("watchdog fed")), 1) << run.all();
    // The values, without the time stamps of their lines.
    std::set<QString> values;
    for (const QString& reading : cpuReadings(run))
        values.insert(reading.mid(reading.indexOf(QStringLiteral("\"CPU "))));
    EXPECT_GE(values.size(), 2u) << run.all();
    EXPECT_TRUE(run.has(kSignalStop)) << run.all();
    EXPECT_TRUE(run.has(QStringLiteral("watchdog disarmed"))) << run.all();
    // Never the device of the user's file; the log where it was asked for.
    EXPECT_FALSE(run.has(QStringLiteral("Cant open port"))) << run.all();
    QFile log(file(QStringLiteral("sub.log")));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(log.readAll()).contains(QStringLiteral("Модель: \"Valkerinde2.3\"")));
}

// --- Without a configuration: the example plus the demo settings -----------

struct DemoCase {
    std::vector<std::string> arguments;
    const char* detected;
    const char* reading; // empty: none expected
};

void PrintTo(const DemoCase& row, std::ostream* out)
{
    *out << (row.arguments.empty() ? "no options" : row.arguments.back());
}

class DemoRun : public Simulator, public ::testing::WithParamInterface<DemoCase> { };

TEST_P(DemoRun, ArmsWithTheDefaultTimeoutAndStops)
{
    std::vector<std::string> arguments = GetParam().arguments;
    arguments.insert(arguments.end(), { "--seconds", "2" });
    const Outcome run = simulate(arguments);

    EXPECT_EQ(run.exitCode, 0) << run.all();
    EXPECT_TRUE(run.has(QString::fromUtf8(GetParam().detected))) << run.all();
    EXPECT_TRUE(run.has(QStringLiteral("Таймаут: 7 сек."))) << run.all();
    EXPECT_TRUE(run.has(QStringLiteral("timeout 7 s"))) << run.all();
    if (*GetParam().reading) {
        EXPECT_TRUE(run.has(QString::fromUtf8(GetParam().reading))) << run.all();
    }
    EXPECT_TRUE(run.has(kSignalStop)) << run.all();
    EXPECT_TRUE(run.has(QStringLiteral("watchdog disarmed"))) << run.all();
}

INSTANTIATE_TEST_SUITE_P(Defaults, DemoRun,
    ::testing::Values(DemoCase { {}, "Модель: \"Valkerinde2.3\"", "[INFO ] \"Watchdog hits: 0\"" },
        DemoCase { { "--chip", "f81866" }, "Модель: \"F81866\"", "" }),
    [](const ::testing::TestParamInfo<DemoCase>& info) { return info.index == 0 ? "Board" : "FintekChip"; });

// --- Test mode --------------------------------------------------------------

TEST_F(Simulator, TestMarkerEndsInAWatchdogReset)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the daemon takes only a marker owned by root";
    writeConfig(QStringLiteral("[Global]\nIntervalMs=200\n"));
    const Outcome run = simulate({ "--chip", "IT8728F", "--config", "my.ini", "--test-after", "1", "--seconds", "30" });

    EXPECT_EQ(run.exitCode, 0) << run.all();
    EXPECT_TRUE(run.has(QStringLiteral("!!! ТЕСТОВЫЙ РЕЖИМ !!!"))) << run.all();
    EXPECT_EQ(run.count(QStringLiteral("WATCHDOG RESET: no feed for 1 s")), 1) << run.all();
    // The reset, not the time limit, ended the run.
    EXPECT_FALSE(run.has(QStringLiteral("s are up"))) << run.all();
    EXPECT_TRUE(run.has(kSignalStop)) << run.all();
    EXPECT_FALSE(QFile::exists(file(QStringLiteral("WDT_TEST"))));
}

// --- Health checks -------------------------------------------------------------

TEST_F(Simulator, EndedApplicationEndsInAResetThatTheNextRunNames)
{
    writeConfig(QStringLiteral("[Global]\nIntervalMs=200\n"));
    const Outcome first = simulate({ "--chip", "IT8728F", "--config", "my.ini", "--health-demo", "0" });

    EXPECT_EQ(first.exitCode, 0) << first.all();
    EXPECT_TRUE(first.has(QStringLiteral("the application under watch (pid "))) << first.all();
    EXPECT_TRUE(first.has(QStringLiteral("[CRIT ] Проверка \"PidFile\" не пройдена"))) << first.all();
    EXPECT_EQ(first.count(QStringLiteral("WATCHDOG RESET: no feed for 1 s")), 1) << first.all();
    EXPECT_FALSE(first.has(QStringLiteral("s are up"))) << first.all();
    EXPECT_FALSE(QFile::exists(file(QStringLiteral("wdt-app.pid"))));

    // The stop after the reset wrote "stopped"; the next run must still
    // hear of the check, and before it arms.
    const Outcome second
        = simulate({ "--chip", "IT8728F", "--config", "my.ini", "--state-file", "wdt-state", "--seconds", "1" });
    const auto firstWith = [&second](const QString& part) {
        for (int i = 0; i < second.lines.size(); ++i) {
            if (second.lines[i].contains(part))
                return i;
        }
        return -1;
    };
    const int previous = firstWith(QStringLiteral("Предыдущий запуск: кормление остановлено проверкой \"PidFile\""));
    EXPECT_GE(previous, 0) << second.all();
    EXPECT_LT(previous, firstWith(QStringLiteral("Запуск Watchdog"))) << second.all();
}

// --- What cannot be simulated ---------------------------------------------------

TEST_F(Simulator, RefusesWhatItCannotSimulateBeforeTheDaemonRuns)
{
    const QByteArray own = "[Global]\nIntervalMs=100\n";
    QFile same(file(QStringLiteral("same.ini")));
    ASSERT_TRUE(same.open(QIODevice::WriteOnly));
    same.write(own);
    same.close();
    const std::vector<std::vector<std::string>> refused = {
        { "--chip", "IT9999" },
        { "--base", "0x10000" },
        { "--chip", "IT8728F", "--variant", "key-87-87" },
        { "--variant", "counter-8" },
        { "--seconds", "-1" },
        { "--health-demo", "-1" },
        { "--board", "" },
        { "--config", "missing.ini" },
        { "--config", "same.ini", "--write-config", "same.ini" },
        { "--frobnicate" },
    };
    for (const auto& arguments : refused) {
        const Outcome run = simulate(arguments);
        EXPECT_EQ(run.exitCode, 2) << arguments[0] << '\n' << run.all();
        EXPECT_TRUE(run.has(QStringLiteral("wdt-simulator: "))) << run.all();
        EXPECT_FALSE(QFile::exists(file(QStringLiteral("wdt-daemon.log")))) << arguments[0];
    }
    ASSERT_TRUE(same.open(QIODevice::ReadOnly));
    EXPECT_EQ(same.readAll(), own);
}

} // namespace
