#include "core/health.h"
#include "support/log_capture.h"
#include "support/qt_printers.h"
#include "support/test_application.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// A process that has ended: reaped, so its pid names nobody, or left a
// zombie that only its parent could still collect.
pid_t endedChild(bool reap)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    if (reap)
        ::waitpid(pid, nullptr, 0);
    else
        ::waitid(P_PID, static_cast<id_t>(pid), nullptr, WEXITED | WNOWAIT);
    return pid;
}

void collect(pid_t pid)
{
    ::waitpid(pid, nullptr, 0);
}

bool alive(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
}

// Turns the event loop until @p done holds, for at most 20 s.
bool spinUntil(const std::function<bool()>& done)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return done();
}

struct Checked {
    Checked() { config.failures = 1; }

    QString path(const char* name) const { return dir.filePath(QLatin1String(name)); }
    HealthSources sources() const
    {
        return { path("meminfo"), path("loadavg"), [this] { return QDateTime::currentSecsSinceEpoch() + ageS; } };
    }

    QTemporaryDir dir;
    HealthConfig config;
    qint64 ageS = 0;
};

// Each cheap check against real files and processes: what it lets pass, and
// what the critical line says it saw (Failures=1: the first failure counts).
TEST(HealthChecks, FilesMemoryAndLoadAsTheyStand)
{
    const pid_t gone = endedChild(true);
    const pid_t zombie = endedChild(false);
    const struct {
        const char* name;
        std::function<void(Checked&)> setUp;
        const char* saw; // null: healthy
    } rows[] = {
        { "own pid",
            [](Checked& c) {
                c.config.pidFile = c.path("app.pid");
                writeFile(c.config.pidFile, QByteArray::number(::getpid()) + '\n');
            },
            nullptr },
        { "pid of nobody",
            [gone](Checked& c) {
                c.config.pidFile = c.path("app.pid");
                writeFile(c.config.pidFile, QByteArray::number(gone));
            },
            "не существует" },
        { "zombie",
            [zombie](Checked& c) {
                c.config.pidFile = c.path("app.pid");
                writeFile(c.config.pidFile, QByteArray::number(zombie));
            },
            "не существует" },
        { "no pid file", [](Checked& c) { c.config.pidFile = c.path("app.pid"); }, "не читается" },
        // A FIFO must not block the feed tick that reads it.
        { "pid file is a FIFO",
            [](Checked& c) {
                c.config.pidFile = c.path("app.pid");
                ASSERT_EQ(::mkfifo(QFile::encodeName(c.config.pidFile).constData(), 0600), 0);
            },
            "не читается" },
        { "pid 0 names a group",
            [](Checked& c) {
                c.config.pidFile = c.path("app.pid");
                writeFile(c.config.pidFile, "0\n");
            },
            "нет номера процесса" },
        { "fresh heartbeat",
            [](Checked& c) {
                c.config.heartbeatFile = c.path("beat");
                writeFile(c.config.heartbeatFile, "");
            },
            nullptr },
        { "stale heartbeat",
            [](Checked& c) {
                c.config.heartbeatFile = c.path("beat");
                writeFile(c.config.heartbeatFile, "");
                c.ageS = 61;
            },
            "не обновлялся" },
        { "no heartbeat", [](Checked& c) { c.config.heartbeatFile = c.path("beat"); }, "отсутствует" },
        { "memory enough",
            [](Checked& c) {
                c.config.minAvailableMemoryMB = 2000;
                writeFile(c.path("meminfo"), "MemTotal:  8000000 kB\nMemAvailable:    2048000 kB\n");
            },
            nullptr },
        { "memory short",
            [](Checked& c) {
                c.config.minAvailableMemoryMB = 2001;
                writeFile(c.path("meminfo"), "MemAvailable:    2048000 kB\n");
            },
            "доступно 2000 МБ памяти, нужно не меньше 2001 МБ" },
        { "no MemAvailable",
            [](Checked& c) {
                c.config.minAvailableMemoryMB = 1;
                writeFile(c.path("meminfo"), "MemFree: 1 kB\n");
            },
            "не прочитана" },
        // Not "0 MB available": what could not be read is said as such.
        { "MemAvailable unreadable",
            [](Checked& c) {
                c.config.minAvailableMemoryMB = 1;
                writeFile(c.path("meminfo"), "MemAvailable: lots kB\n");
            },
            "не прочитана" },
        { "load low",
            [](Checked& c) {
                c.config.maxLoad1 = 0.5;
                writeFile(c.path("loadavg"), "0.50 0.40 0.30 1/100 1234\n");
            },
            nullptr },
        { "load high",
            [](Checked& c) {
                c.config.maxLoad1 = 0.25;
                writeFile(c.path("loadavg"), "0.50 0.40 0.30 1/100 1234\n");
            },
            "средняя загрузка за минуту 0.5, допустимо не больше 0.25" },
    };
    for (const auto& row : rows) {
        Checked checked;
        row.setUp(checked);
        const LogCapture log;
        HealthMonitor health(checked.config, checked.sources());
        EXPECT_EQ(health.mayFeed(), row.saw == nullptr) << row.name;
        if (row.saw) {
            ASSERT_EQ(log.lines().size(), 1) << row.name;
            EXPECT_TRUE(log.lines()[0].startsWith(QStringLiteral("[CRIT ] Проверка \""))) << row.name;
            EXPECT_EQ(log.count(QString::fromUtf8(row.saw)), 1) << row.name << ": " << log.lines()[0].toStdString();
            EXPECT_FALSE(health.failedCheck().isEmpty());
        } else {
            EXPECT_TRUE(log.lines().isEmpty()) << row.name;
        }
    }
    collect(zombie);
}

// Failures counts consecutive failed evaluations: a recovery before the count
// starts it again, the count's end is final however the check fares later.
TEST(HealthChecks, TheCountOfConsecutiveFailuresAndARecovery)
{
    Checked checked;
    checked.config.failures = 3;
    checked.config.pidFile = checked.path("app.pid");
    const QByteArray alive = QByteArray::number(::getpid());
    const struct {
        const char* pidFile; // null: none
        bool mayFeed;
        const char* logged;
    } steps[] = {
        { nullptr, true, "[WARN ] Проверка \"PidFile\" не пройдена (1 из 3): файл" },
        { nullptr, true, "[WARN ] Проверка \"PidFile\" не пройдена (2 из 3): файл" },
        { alive, true, "[INFO ] Проверка \"PidFile\" снова пройдена." },
        { alive, true, nullptr },
        { nullptr, true, "(1 из 3)" },
        { nullptr, true, "(2 из 3)" },
        { nullptr, false, "не пройдена 3 раза подряд: файл \"" },
        { alive, false, nullptr },
    };
    HealthMonitor health(checked.config, checked.sources());
    int stops = 0;
    QObject::connect(&health, &HealthMonitor::feedingMustStop, [&] { ++stops; });
    for (const auto& step : steps) {
        QFile::remove(checked.config.pidFile);
        if (step.pidFile)
            writeFile(checked.config.pidFile, step.pidFile);
        const LogCapture log;
        EXPECT_EQ(health.mayFeed(), step.mayFeed) << step.logged;
        EXPECT_EQ(log.lines().size(), step.logged ? 1 : 0) << log.lines().join(QString()).toStdString();
        if (step.logged) {
            EXPECT_EQ(log.count(QString::fromUtf8(step.logged)), 1) << log.lines().join(QString()).toStdString();
        }
    }
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(health.failedCheck(), QStringLiteral("PidFile"));
}

// The command through a real /bin/sh, on the event loop: each way it can end,
// and what the critical line says of it. A command that hangs is killed with
// everything it started, and the feed tick meanwhile never waits for it.
TEST(HealthChecks, TheCommandRunsBesideTheFeeding)
{
    const TestApplication app;
    const struct {
        const char* command;
        const char* saw; // null: healthy
    } rows[] = {
        { "exit 0", nullptr },
        { "exit 3", "команда завершилась с кодом 3" },
        { "kill -9 $$", "команда завершена сигналом 9" },
        { "sleep 30 & echo $! > %1; wait", "команда не завершилась за 300 мс и остановлена" },
    };
    for (const auto& row : rows) {
        Checked checked;
        const QString started = checked.path("started");
        checked.config.command = QString::fromUtf8(row.command).replace(QLatin1String("%1"), started);
        checked.config.commandTimeoutMs = 300;
        checked.config.commandIntervalMs = 50;
        const LogCapture log;
        HealthMonitor health(checked.config, checked.sources());
        health.start();
        if (row.saw) {
            EXPECT_TRUE(spinUntil([&] { return !health.mayFeed(); })) << row.command;
            EXPECT_EQ(log.count(QString::fromUtf8(row.saw)), 1) << row.command;
            EXPECT_EQ(health.failedCheck(), QStringLiteral("Command"));
        } else {
            // Some periods' worth of runs, all passing.
            for (int turn = 0; turn < 10; ++turn)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            EXPECT_TRUE(health.mayFeed());
            EXPECT_TRUE(log.lines().isEmpty()) << log.lines().join(QString()).toStdString();
        }
        QFile pidOfChild(started);
        if (pidOfChild.open(QIODevice::ReadOnly)) {
            const pid_t child = static_cast<pid_t>(pidOfChild.readAll().trimmed().toInt());
            EXPECT_TRUE(spinUntil([&] { return !alive(child); })) << "the shell's child " << child << " lives on";
        }
    }
}

// The repair runs once, when the check first counts as failed; feeding goes
// on meanwhile, and what the check says afterwards decides.
TEST(HealthChecks, TheRepairCommandHasOneChance)
{
    const TestApplication app;
    const struct {
        const char* repair;
        bool mends;
    } rows[] = {
        { "touch %1", true },
        { "true", false },
        // Bounded by its own time-out.
        { "sleep 30", false },
    };
    for (const auto& row : rows) {
        Checked checked;
        const QString mended = checked.path("mended");
        checked.config.failures = 2;
        checked.config.heartbeatFile = mended;
        checked.config.repairCommand = QString::fromUtf8(row.repair).replace(QLatin1String("%1"), mended);
        checked.config.repairTimeoutMs = 300;
        const LogCapture log;
        HealthMonitor health(checked.config, checked.sources());
        EXPECT_TRUE(health.mayFeed());
        EXPECT_TRUE(health.mayFeed());
        EXPECT_EQ(log.count(QStringLiteral("Запуск команды восстановления, кормление продолжается.")), 1);
        // The feeding goes on while the repair runs, whatever the check sees.
        const QString recovered = QStringLiteral("[INFO ] Проверка \"HeartbeatFile\" снова пройдена.");
        EXPECT_TRUE(spinUntil([&] { return !health.mayFeed() || log.count(recovered) > 0; })) << row.repair;
        EXPECT_EQ(health.mayFeed(), row.mends) << row.repair;
        EXPECT_EQ(log.count(QStringLiteral("[CRIT ]")), row.mends ? 0 : 1) << row.repair;
        EXPECT_EQ(log.count(QStringLiteral("Запуск команды восстановления")), 1) << row.repair;
    }
}

TEST(HealthConfiguration, TheSectionItsNumbersAndWhatIsIgnored)
{
    const struct {
        const char* ini;
        bool present;
        bool any;
        int failures;
        int timeoutMs;
        int warnings;
    } rows[] = {
        { "[Global]\nIntervalMs=1000\n", false, false, 3, 5000, 0 },
        { "[Health]\nFailures=5\n", true, false, 5, 5000, 0 },
        { "[Health]\nPidFile=/run/app.pid\nCommandTimeoutMs=250\n", true, true, 3, 250, 0 },
        { "[Health]\nMaxLoad1=4.5\nFailures=0\nCommandTimeoutMs=5s\n", true, true, 3, 5000, 2 },
        { "[Health]\nMaxLoad1=many\nMinAvailableMemoryMB=-1\n", true, false, 3, 5000, 2 },
    };
    for (const auto& row : rows) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("wdt.ini"));
        writeFile(path, row.ini);
        QSettings settings(path, QSettings::IniFormat);
        const LogCapture log;
        const std::optional<HealthConfig> config = readHealthConfig(settings);
        ASSERT_EQ(config.has_value(), row.present) << row.ini;
        EXPECT_EQ(log.count(QStringLiteral("[WARN ] Ignoring \"Health/")), row.warnings) << row.ini;
        if (!config)
            continue;
        EXPECT_EQ(config->any(), row.any) << row.ini;
        EXPECT_EQ(config->failures, row.failures) << row.ini;
        EXPECT_EQ(config->commandTimeoutMs, row.timeoutMs) << row.ini;
    }
}

} // namespace
