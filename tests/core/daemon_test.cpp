#include "core/candidates.h"
#include "core/globals.h"
#include "support/daemon_harness.h"

#include <QFile>

#include <gtest/gtest.h>

#include <csignal>

namespace {

using Events = std::vector<std::string>;

auto answersAt(uint16_t wanted)
{
    return [wanted](uint16_t port) { return port == wanted; };
}

// The candidates with the Fintek chip answering at 0x2E, fed every 10 ms
// unless a test writes another configuration.
struct FintekFound {
    FintekFound()
    {
        harness.writeConfig(QStringLiteral("[Global]\nIntervalMs=10\n"));
        candidates.fintek->answer = answersAt(0x2E);
    }

    int run() { return harness.run(candidates.parts()); }

    DaemonHarness harness;
    FakeCandidates candidates { harness };
};

const QString kDebugOn = QStringLiteral("[Debug]\nEnabled=true\n");

TEST(DaemonStartup, RefusesWithoutRootBeforeTouchingAnything)
{
    DaemonHarness harness;
    harness.fakePlatform.uid = 1000;
    FakeCandidates candidates(harness);
    EXPECT_EQ(harness.run(candidates.parts()), 1);
    EXPECT_EQ(harness.messages(),
        (QStringList { QStringLiteral("[INFO ] === DEBUG MODE DISABLED from config ==="),
            QStringLiteral("[INFO ] === Monitoring disabled from config. ==="),
            QStringLiteral("[CRIT ] Требуются права ROOT (sudo)!") }));
    EXPECT_EQ(harness.fakePlatform.ioplCalls, 0);
    EXPECT_TRUE(harness.fakePlatform.trace.empty());
    EXPECT_TRUE(harness.journal->events().empty());
}

TEST(DaemonStartup, RefusesWithoutIoPrivilegeEvenForTheSerialBoard)
{
    DaemonHarness harness;
    harness.writeConfig(QStringLiteral("[Global]\nForceTarvelo=on\n[Vendor_Tarvelo]\nEnvMonitor=on\n"));
    harness.fakePlatform.ioplResult = -1;
    FakeCandidates candidates(harness);
    EXPECT_EQ(harness.run(candidates.parts()), 1);
    EXPECT_EQ(harness.messages(),
        (QStringList { QStringLiteral("[INFO ] === DEBUG MODE DISABLED from config ==="),
            QStringLiteral("[INFO ] === Принудительный выбор Tarvelo ==="),
            QStringLiteral("[INFO ] === Monitoring enabled from config. Interval(ms): 60000  ==="),
            QStringLiteral("[CRIT ] Ошибка iopl(3): доступ к портам ввода-вывода запрещен!") }));
    EXPECT_EQ(harness.fakePlatform.ioplCalls, 1);
    EXPECT_TRUE(harness.journal->events().empty());
}

TEST(DaemonStartup, WithoutAnyVendorStrategyNoWatchdogIsFound)
{
    DaemonHarness harness;
    EXPECT_EQ(harness.run(DaemonParts {}), 1);
    EXPECT_EQ(harness.messages().last(), QStringLiteral("[CRIT ] Поддерживаемое устройство Watchdog не найдено!"));
    EXPECT_TRUE(harness.fakePlatform.trace.empty());
}

TEST(DaemonStartup, RealDriversFindNothingOnAnEmptyBusAndWithoutABoard)
{
    DaemonHarness harness;
    // The serial board of the production parts must not reach a real port.
    harness.writeConfig(QStringLiteral("[Vendor_Tarvelo]\nPort=%1\n").arg(harness.path(QStringLiteral("no-tty"))));
    EXPECT_EQ(harness.run(productionParts()), 1);
    EXPECT_EQ(harness.messages().last(), QStringLiteral("[CRIT ] Поддерживаемое устройство Watchdog не найдено!"));
}

TEST(DaemonStartup, WhenNoCandidateAnswersNothingIsArmed)
{
    DaemonHarness harness;
    FakeCandidates candidates(harness);
    EXPECT_EQ(harness.run(candidates.parts()), 1);
    EXPECT_EQ(harness.journal->only("probe").size(), 8u);
    EXPECT_EQ(harness.journal->only("start").size(), 0u);
    EXPECT_EQ(harness.messages().last(), QStringLiteral("[CRIT ] Поддерживаемое устройство Watchdog не найдено!"));
}

TEST(DaemonDetection, EveryCandidateIsTriedOnAPortBeforeAnyOnTheNext)
{
    DaemonHarness harness;
    harness.writeConfig(QStringLiteral("[Vendor_Fintek]\nEnterKey=0x87,0x87\n[Vendor_Nuvoton]\nExitKey=0x55\n"));
    FakeCandidates candidates(harness);
    candidates.nuvoton->answer = answersAt(0x4E);
    SignalSender stop(journalHas(harness.journal, "start"));
    EXPECT_EQ(harness.run(candidates.parts()), 0);
    EXPECT_TRUE(stop.met());

    EXPECT_EQ(harness.journal->events(),
        (Events { "create Fintek", "create Ite", "create Nuvoton", "config Fintek", "config Ite",
            "config Nuvoton/Winbond", "create Tarvelo", "probe Fintek 0x2e", "probe Ite 0x2e",
            "probe Nuvoton/Winbond 0x2e", "probe Tarvelo 0x2e", "probe Fintek 0x4e", "probe Ite 0x4e",
            "probe Nuvoton/Winbond 0x4e", "start Nuvoton/Winbond 0x4e 7", "stop Nuvoton/Winbond 0x4e" }));
    EXPECT_EQ(candidates.fintek->config.enterKey, (std::vector<uint8_t> { 0x87, 0x87 }));
    EXPECT_EQ(candidates.nuvoton->config.exitKey, 0x55);
    EXPECT_EQ(candidates.ite->config.exitKey, 0xAA);
    EXPECT_FALSE(candidates.board->configured);
}

TEST(DaemonDetection, ScanPortsFromTheConfiguration)
{
    const struct {
        const char* ini;
        Events probes;
    } rows[] = {
        { "[Global]\nScanPorts=0x4E\n",
            { "probe Fintek 0x4e", "probe Ite 0x4e", "probe Nuvoton/Winbond 0x4e", "probe Tarvelo 0x4e" } },
        // Nothing usable to scan: no Super I/O port is probed, not even port
        // 0; the serial board, whose probe ignores the port, is asked once.
        { "[Global]\nScanPorts=\n", { "probe Tarvelo 0x0" } },
    };
    for (const auto& row : rows) {
        DaemonHarness harness;
        harness.writeConfig(QString::fromUtf8(row.ini));
        FakeCandidates candidates(harness);
        EXPECT_EQ(harness.run(candidates.parts()), 1) << row.ini;
        EXPECT_EQ(harness.journal->only("probe"), row.probes) << row.ini;
    }
}

TEST(DaemonDetection, ForcedSerialBoardIsTheOnlyCandidate)
{
    DaemonHarness harness;
    harness.writeConfig(QStringLiteral("[Global]\nForceTarvelo=1\n"));
    FakeCandidates candidates(harness);
    EXPECT_EQ(harness.run(candidates.parts()), 1);
    EXPECT_EQ(harness.journal->events(),
        (Events { "create Fintek", "create Ite", "create Nuvoton", "create Tarvelo", "probe Tarvelo 0x2e",
            "probe Tarvelo 0x4e" }));
}

TEST(DaemonSupervision, DetectsArmsFeedsAndStopsOnSigterm)
{
    FintekFound found;
    DaemonHarness& harness = found.harness;
    const FakeCandidates& candidates = found.candidates;
    harness.writeConfig(kDebugOn
        + QStringLiteral("[Global]\nIntervalMs=20\n"
                         "[Vendor_Fintek]\nStopCmds=0xF5:0x00\n"
                         "[F81866]\nStartCmds=0x07:0x07\n"));
    SignalSender stop(journalHas(harness.journal, "fed", 4));
    EXPECT_EQ(found.run(), 0);
    ASSERT_TRUE(stop.met());

    const QStringList messages = harness.messages();
    const QStringList expectedStart {
        QStringLiteral("[INFO ] === DEBUG MODE ENABLED from config ==="),
        QStringLiteral("[INFO ] === Monitoring disabled from config. ==="),
        QStringLiteral("[INFO ] Обнаружено устройство: \"Fintek\" Модель: \"F81866\" ( \"0x1010\" )"),
        QStringLiteral("[INFO ] Запуск Watchdog. Интервал кормления: 20 мс, Таймаут: 1 сек."),
        QStringLiteral("[INFO ] *****************"),
        QString(),
    };
    ASSERT_GT(messages.size(), expectedStart.size() + 4);
    EXPECT_EQ(messages.mid(0, expectedStart.size()), expectedStart);
    const QStringList rest = messages.mid(expectedStart.size());
    EXPECT_GE(rest.count(QStringLiteral("[DEBUG] Таймер сброшен.")), 4);
    EXPECT_EQ(rest.count(QStringLiteral("[DEBUG] Таймер сброшен.")), rest.size() - 1);
    EXPECT_EQ(rest.last(), QStringLiteral("[INFO ] Получен сигнал 15 . Остановка Watchdog и выход..."));

    const Events events = harness.journal->events();
    const Events fromStart(std::find(events.begin(), events.end(), "start Fintek 0x2e 1"), events.end());
    ASSERT_GE(fromStart.size(), 10u);
    for (size_t i = 1; i + 1 < fromStart.size(); i += 2) {
        EXPECT_EQ(fromStart[i], "feed Fintek 0x2e 1");
        EXPECT_EQ(fromStart[i + 1], "fed Fintek 0x2e");
    }
    EXPECT_EQ(fromStart.back(), "stop Fintek 0x2e");
    // The register lists: the model section first, then the vendor section.
    EXPECT_EQ(candidates.fintek->handedStart(), (RegList { { 0x07, 0x07 } }));
    EXPECT_EQ(candidates.fintek->handedStop(), (RegList { { 0xF5, 0x00 } }));
    EXPECT_TRUE(candidates.fintek->handedFeed().empty());
    EXPECT_EQ(globalSio, nullptr);
}

TEST(DaemonSupervision, SigintStopsLikeSigterm)
{
    DaemonHarness harness;
    harness.writeConfig(QStringLiteral("[Global]\nIntervalMs=10\n"));
    FakeCandidates candidates(harness);
    candidates.ite->answer = answersAt(0x4E);
    SignalSender stop(journalHas(harness.journal, "fed", 2), SIGINT);
    EXPECT_EQ(harness.run(candidates.parts()), 0);
    EXPECT_EQ(harness.messages().last(), QStringLiteral("[INFO ] Получен сигнал 2 . Остановка Watchdog и выход..."));
    EXPECT_EQ(harness.journal->events().back(), "stop Ite 0x4e");
}

// The interval's readers and the timeout for each interval have tables of
// their own (config_test, and the one below); a run shows that the daemon
// asks for the detected model's section and logs the timeout it arms with.
TEST(DaemonSupervision, FeedIntervalAndTimeout)
{
    const struct {
        const char* ini;
        const char* line;
    } rows[] = {
        { "", "Интервал кормления: 3000 мс, Таймаут: 7 сек." },
        { "[Global]\nIntervalMs=5000\n[F81866]\nIntervalMs=499\n", "Интервал кормления: 499 мс, Таймаут: 1 сек." },
    };
    for (const auto& row : rows) {
        FintekFound found;
        found.harness.writeConfig(QString::fromUtf8(row.ini));
        SignalSender stop(journalHas(found.harness.journal, "start"));
        EXPECT_EQ(found.run(), 0) << row.ini;
        EXPECT_TRUE(found.harness.messages().contains(
            QStringLiteral("[INFO ] Запуск Watchdog. ") + QString::fromUtf8(row.line)))
            << row.ini;
    }
}

TEST(DaemonSupervision, TimeoutSaturatesInsteadOfWrapping)
{
    const struct {
        int intervalMs;
        int timeoutSec;
    } rows[] = { { 1, 1 }, { 499, 1 }, { 500, 2 }, { 1000, 3 }, { 3000, 7 }, { 126999, 254 }, { 127000, 255 },
        { 127500, 255 }, { 128000, 255 }, { 200000, 255 }, { kLongestFeedIntervalMs, 255 } };
    for (const auto& row : rows)
        EXPECT_EQ(timeoutForInterval(row.intervalMs), row.timeoutSec) << row.intervalMs;
}

TEST(DaemonSupervision, FeedIntervalBeyondTheLongestTimeoutIsRefusedBeforeArming)
{
    for (const char* interval : { "255000", "300000", "2147483647" }) {
        FintekFound found;
        found.harness.writeConfig(QStringLiteral("[Global]\nIntervalMs=%1\n").arg(QLatin1String(interval)));
        EXPECT_EQ(found.run(), 1) << interval;
        EXPECT_EQ(found.harness.messages().last(),
            QStringLiteral("[CRIT ] Интервал кормления слишком велик: таймаут Watchdog не может превышать 255 сек."))
            << interval;
        EXPECT_EQ(found.harness.journal->count("start"), 0) << interval;
    }
}

void touch(const QString& path, const QByteArray& text = QByteArray())
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(text);
}

// The in-process daemon counts a marker of this process's own user, as the
// real one counts root's.
TEST(DaemonTestMode, MarkerBeforeTheFirstTickMeansNoFeedAtAll)
{
    FintekFound found;
    found.candidates.fintek->duringStart = [] { touch(TEST_FILE); };
    SignalSender stop([] { return !QFile::exists(TEST_FILE); }, SIGTERM, std::chrono::milliseconds(150));
    EXPECT_EQ(found.run(), 0);

    EXPECT_EQ(found.harness.journal->count("feed"), 0);
    EXPECT_EQ(found.harness.journal->count("stop"), 1);
    EXPECT_FALSE(QFile::exists(TEST_FILE));
    const QStringList messages = found.harness.messages();
    EXPECT_EQ(messages.count(
                  QStringLiteral("[WARN ] !!! ТЕСТОВЫЙ РЕЖИМ !!! Кормление остановлено. Ожидание перезагрузки...")),
        1);
}

TEST(DaemonTestMode, MarkerDuringTheRunStopsFeedingForGood)
{
    FintekFound found;
    const std::shared_ptr<Journal> journal = found.harness.journal;
    int feeds = 0;
    found.candidates.fintek->duringFeed = [&] {
        if (++feeds == 3)
            touch(TEST_FILE);
    };
    SignalSender stop([&] { return journal->count("fed") >= 3 && !QFile::exists(TEST_FILE); }, SIGTERM,
        std::chrono::milliseconds(150));
    EXPECT_EQ(found.run(), 0);
    EXPECT_EQ(feeds, 3);
    EXPECT_EQ(journal->events().back(), "stop Fintek 0x2e");
    EXPECT_EQ(found.harness.messages().filter(QStringLiteral("ТЕСТОВЫЙ РЕЖИМ")).size(), 1);
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Each kind of health check, failing, through the whole daemon: it stops the
// feeding for good but not the daemon, which still stops in order; the
// state file kept which check it was when the watchdog would have reset the
// machine, and the next start says so before it arms.
TEST(DaemonHealth, AFailedCheckStopsTheFeedingAndTheNextStartSaysWhy)
{
    const struct {
        const char* check;
        const char* section; // %1: the temporary directory
    } rows[] = {
        { "PidFile", "PidFile=%1/app.pid\n" },
        { "HeartbeatFile", "HeartbeatFile=%1/beat\n" },
        { "Command", "Command=exit 3\nCommandIntervalMs=20\n" },
        { "MinAvailableMemoryMB", "MinAvailableMemoryMB=2\n" },
        { "MaxLoad1", "MaxLoad1=1.5\n" },
    };
    for (const auto& row : rows) {
        QByteArray atTheReset;
        for (const bool again : { false, true }) {
            FintekFound found;
            DaemonHarness& harness = found.harness;
            DaemonEnvironment environment = harness.environment();
            environment.meminfoFile = harness.path(QStringLiteral("meminfo"));
            environment.loadavgFile = harness.path(QStringLiteral("loadavg"));
            harness.setEnvironment(environment);
            for (const auto& [file, text] :
                { std::pair("meminfo", "MemAvailable: 1024 kB\n"), std::pair("loadavg", "2.00 1.00 0.50 1/99 4242\n") })
                touch(harness.path(QLatin1String(file)), text);
            const QString state = harness.path(QStringLiteral("state"));
            touch(state, atTheReset);
            harness.writeConfig(
                QStringLiteral("[Global]\nIntervalMs=10\nStateFile=%1\n[Health]\nFailures=2\n").arg(state)
                + QString::fromUtf8(row.section).replace(QLatin1String("%1"), harness.path(QString())));
            // What the file held when the verdict came is what a machine
            // reset by the watchdog finds at its next start.
            int feedsAfterVerdict = 0;
            found.candidates.fintek->duringFeed
                = [&] { feedsAfterVerdict += contents(state).startsWith("state=check-failed"); };
            SignalSender stop(
                [&] {
                    if (again)
                        return harness.journal->count("start") > 0;
                    const QByteArray now = contents(state);
                    if (now.startsWith("state=check-failed"))
                        atTheReset = now;
                    return !atTheReset.isEmpty();
                },
                SIGTERM, std::chrono::milliseconds(again ? 0 : 100));
            EXPECT_EQ(found.run(), 0) << row.check;
            EXPECT_TRUE(stop.met()) << row.check;
            EXPECT_EQ(harness.journal->events().back(), "stop Fintek 0x2e") << row.check;
            EXPECT_EQ(contents(state), QByteArray("state=stopped\n")) << row.check;
            const QStringList messages = harness.messages();
            const std::string all = messages.join(QString()).toStdString();
            if (!again) {
                EXPECT_EQ(feedsAfterVerdict, 0) << row.check;
                EXPECT_EQ(
                    messages.join(QString()).count(QStringLiteral("[CRIT ] Проверка \"%1\" не пройдена 2 раза подряд")
                                                       .arg(QLatin1String(row.check))),
                    1)
                    << all;
                continue;
            }
            const QString previous
                = QStringLiteral("[WARN ] Предыдущий запуск: кормление остановлено проверкой \"%1\" (")
                      .arg(QLatin1String(row.check));
            ASSERT_FALSE(messages.isEmpty());
            int line = 0;
            while (line < messages.size() && !messages[line].startsWith(previous))
                ++line;
            ASSERT_LT(line + 1, messages.size()) << all;
            EXPECT_TRUE(messages[line + 1].startsWith(QStringLiteral("[INFO ] Запуск Watchdog."))) << all;
        }
    }
}

// A command that hangs holds up neither the feeds nor the stop, and the stop
// kills it with what it started. Its time-out is longer than the signal
// sender's deadline: a daemon that waited for the command would miss the
// feeds the sender waits for.
TEST(DaemonHealth, AHangingCommandDelaysNoFeedAndNoStop)
{
    FintekFound found;
    const QString started = found.harness.path(QStringLiteral("started"));
    found.harness.writeConfig(
        // In double quotes: a semicolon would start a comment.
        QStringLiteral("[Global]\nIntervalMs=10\n[Health]\nCommand=\"sleep 300 & echo $! > %1; wait\"\n"
                       "CommandTimeoutMs=120000\n")
            .arg(started));
    SignalSender stop([&] { return QFile::exists(started) && found.harness.journal->count("fed") >= 20; });
    EXPECT_EQ(found.run(), 0);
    EXPECT_TRUE(stop.met());
    const pid_t sleeper = static_cast<pid_t>(contents(started).trimmed().toInt());
    ASSERT_GT(sleeper, 0);
    // Reaped by init once killed; a moment may pass before it is.
    bool gone = false;
    for (int turn = 0; turn < 200 && !gone; ++turn) {
        gone = !QFile::exists(QStringLiteral("/proc/%1").arg(sleeper))
            || contents(QStringLiteral("/proc/%1/stat").arg(sleeper)).contains(") Z ");
        if (!gone)
            ::usleep(10000);
    }
    EXPECT_TRUE(gone) << "the command's child " << sleeper << " outlived the daemon";
}

TEST(DaemonTestMode, MarkerThatIsNotRootsOwnIsIgnoredAndFeedingGoesOn)
{
    FintekFound found;
    DaemonHarness& harness = found.harness;
    const QString target = harness.path(QStringLiteral("elsewhere"));
    touch(target);
    found.candidates.fintek->duringStart = [&] { QFile::link(target, TEST_FILE); };
    SignalSender stop(journalHas(harness.journal, "fed", 8));
    EXPECT_EQ(found.run(), 0);

    EXPECT_TRUE(stop.met());
    EXPECT_TRUE(QFileInfo(TEST_FILE).isSymLink());
    EXPECT_EQ(harness.messages().filter(QStringLiteral("ТЕСТОВЫЙ РЕЖИМ")).size(), 0);
    EXPECT_EQ(harness.messages().filter(QStringLiteral("проигнорирован")).size(), 1);
}

TEST(DaemonMonitoring, SuperIoChipLogsTheRequestButNeverReads)
{
    DaemonHarness harness;
    harness.writeConfig(kDebugOn
        + QStringLiteral("[Global]\nIntervalMs=10\n"
                         "[Vendor_Tarvelo]\nEnvMonitor=on\nEnvIntervalMs=15\n"));
    FakeCandidates candidates(harness);
    candidates.nuvoton->answer = answersAt(0x2E);
    SignalSender stop(
        [&] { return harness.messages().count(QStringLiteral("[DEBUG] Запрос считывания датчиков окружения.")) >= 3; });
    EXPECT_EQ(harness.run(candidates.parts()), 0);
    EXPECT_TRUE(stop.met());
    // That the request stays pending is the supervisor's business.
    EXPECT_EQ(harness.journal->count("monitor"), 0);
    EXPECT_EQ(harness.journal->count("dynamic"), 0);
    EXPECT_EQ(harness.journal->count("static"), 0);
}

TEST(DaemonMonitoring, SerialBoardWithoutPeriodicMonitoringReadsEverythingOnceAtStart)
{
    DaemonHarness harness;
    harness.writeConfig(QStringLiteral("[Global]\nIntervalMs=100\n"
                                       "[Vendor_Tarvelo]\nStartCmds=$%1S\nStopCmds=$%1P\n"
                                       "[TV-100]\nStartCmds=~%1S\nFeedCmds=~%1F\n"));
    FakeCandidates candidates(harness);
    candidates.board->answer = answersAt(0x2E);
    SignalSender stop(journalHas(harness.journal, "fed", 3));
    EXPECT_EQ(harness.run(candidates.parts()), 0);

    const Events events = harness.journal->events();
    const Events tail(std::find(events.begin(), events.end(), "probe Tarvelo 0x2e") + 1, events.end());
    ASSERT_GE(tail.size(), 4u);
    EXPECT_EQ(Events(tail.begin(), tail.begin() + 4),
        (Events { "monitor TV-100 config", "start Tarvelo 0x2e 1", "static 0", "dynamic 0" }));
    EXPECT_EQ(harness.journal->count("dynamic"), 1);
    EXPECT_EQ(candidates.board->handedDcon(),
        (QStringList { QStringLiteral("~%1S"), QStringLiteral("$%1P"), QStringLiteral("~%1F"), QString() }));
    EXPECT_TRUE(candidates.board->handedStart().empty());
    EXPECT_EQ(harness.messages()[2],
        QStringLiteral("[INFO ] Обнаружено устройство: \"Tarvelo\" Модель: \"TV-100\" ( \"100\" )"));
    EXPECT_EQ(sensors, nullptr);
}

TEST(DaemonMonitoring, PeriodicReadingRunsRightAfterTheNextFeed)
{
    DaemonHarness harness;
    harness.writeConfig(QStringLiteral("[Global]\nIntervalMs=10\n"
                                       "[Vendor_Tarvelo]\nEnvMonitor=on\nEnvIntervalMs=25\n"));
    FakeCandidates candidates(harness);
    candidates.board->answer = answersAt(0x2E);
    SignalSender stop(journalHas(harness.journal, "dynamic", 3));
    EXPECT_EQ(harness.run(candidates.parts()), 0);
    EXPECT_TRUE(stop.met());

    const Events events = harness.journal->events();
    const auto started = std::find(events.begin(), events.end(), "start Tarvelo 0x2e 1");
    ASSERT_NE(started, events.end());
    EXPECT_EQ(*(started + 1), "static 0");
    EXPECT_EQ(*(started + 2), "feed Tarvelo 0x2e 1");
    for (auto event = started; event != events.end(); ++event) {
        if (*event == "dynamic 0") {
            EXPECT_EQ(*(event - 1), "fed Tarvelo 0x2e");
        }
    }
    EXPECT_LT(harness.journal->count("dynamic"), harness.journal->count("fed"));
}

} // namespace
