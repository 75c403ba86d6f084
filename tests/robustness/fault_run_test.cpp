// Faults of the world around a running daemon: the real daemon, drivers and
// monitor against a simulated board, a fault injected after a healthy start
// and lifted again a while later. Throughout, feeding has to go on at every
// tick, nothing may crash (the suite also runs under the sanitizers), and the
// heap must not grow from tick to tick while the fault lasts. What each fault
// does to the log and the line is checked too, and that all comes back once
// it is over.

#include "core/candidates.h"
#include "core/globals.h"
#include "sim/board_simulator.h"
#include "support/daemon_harness.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <malloc.h>
#include <optional>
#include <sched.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WDT_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define WDT_ADDRESS_SANITIZER 1
#endif

#ifdef WDT_ADDRESS_SANITIZER
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using Reply = BoardSimulator::Reply;
using Millis = BoardSimulator::Millis;

// Bytes the program holds on the heap right now, all threads together.
size_t heapInUse()
{
#ifdef WDT_ADDRESS_SANITIZER
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// The fault lasts from after the feed of tick kFaultBegins to after the feed
// of tick kFaultEnds. The heap is sampled at the end of the feed of every
// tick, where each tick stands at the same point of its work, and the lowest
// sample of a window of ticks early in the fault is compared with the lowest
// of one late in it: what a fault leaks at every tick adds up over the 80
// ticks between them, while a sample caught next to a passing allocation of
// the board's thread is outbid by its neighbours.
constexpr int kFaultBegins = 10;
constexpr int kEarlyWindow = kFaultBegins + 20;
constexpr int kLateWindow = kEarlyWindow + 80;
constexpr int kWindowTicks = 10;
constexpr int kFaultEnds = kLateWindow + kWindowTicks;
constexpr int kFaultTicks = kFaultEnds - kFaultBegins;
constexpr int kLastTick = kFaultEnds + 10;
// A fault that left even 200 bytes behind per tick would pass this.
constexpr size_t kHeapGrowthBound = 16 * 1024;

const char kFed[] = "[DEBUG] Таймер сброшен.\n";
const char kStopped[] = "[INFO ] Получен сигнал 15 . Остановка Watchdog и выход...\n";

// The board's answer to everything but the identification: an acknowledgement
// to the watchdog commands, a value to the readings.
Reply healthyReply()
{
    return Reply::line("!01+20.5");
}

// The detected board, as the daemon uses it, with a look after every feed.
class WatchedBoard : public IVendorStrategy {
public:
    WatchedBoard(std::shared_ptr<IVendorStrategy> board, std::function<void(int tick)> afterFeed)
        : board(std::move(board))
        , afterFeed(std::move(afterFeed))
    {
    }

    bool probe(uint16_t port) override { return board->probe(port); }
    void wdt_start(uint16_t port, uint8_t timeoutSec) override { board->wdt_start(port, timeoutSec); }
    void wdt_stop(uint16_t port) override { board->wdt_stop(port); }
    void wdt_feed(uint16_t port, uint8_t timeoutSec) override
    {
        board->wdt_feed(port, timeoutSec);
        afterFeed(++ticks);
    }
    std::string name() const override { return board->name(); }
    std::string model() const override { return board->model(); }
    std::string model_code() const override { return board->model_code(); }
    void setConfig(const VendorConfig& config) override { board->setConfig(config); }
    void setCommands(const RegList& start, const RegList& stop, const RegList& feed) override
    {
        board->setCommands(start, stop, feed);
    }
    void setDconCommands(QString start, QString stop, QString feed, QString set) override
    {
        board->setDconCommands(std::move(start), std::move(stop), std::move(feed), std::move(set));
    }

private:
    std::shared_ptr<IVendorStrategy> board;
    std::function<void(int)> afterFeed;
    int ticks = 0;
};

class FaultRun;

struct Fault {
    const char* name;
    // Both run on the daemon's thread, between two ticks.
    std::function<void(FaultRun&)> begin;
    std::function<void(FaultRun&)> end;
    // What the fault takes away while it lasts.
    bool logFileLosesLines = false;
    bool standardOutputLosesLines = false;
    bool boardMissesFeeds = false;
    // Part of the line a feed logs when it meets the fault.
    const char* feedFailure = nullptr;
    // Needs a small file system of its own for the log.
    bool logOnTmpfs = false;
    // Part of a line the fault leaves in the log at least once.
    const char* faultNote = nullptr;
    // Part of a line that standard output shows at least once.
    const char* standardOutputNote = nullptr;
    // Part of a line that must never be logged.
    const char* neverLogged = nullptr;
};

void PrintTo(const Fault& fault, std::ostream* out)
{
    *out << fault.name;
}

std::string nameOf(const ::testing::TestParamInfo<Fault>& info)
{
    return info.param.name;
}

class FaultRun : public ::testing::TestWithParam<Fault> {
public:
    QString logDirectory() const { return harness.path(QStringLiteral("log")); }

    // Fills the log's file system up to the last byte.
    void fillLogFileSystem()
    {
        const int fd = ::open(QFile::encodeName(filler()).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        const std::string chunk(4096, 'x');
        while (::write(fd, chunk.data(), chunk.size()) > 0) { }
        ASSERT_EQ(errno, ENOSPC);
        ::close(fd);
    }
    void freeLogFileSystem() { ::unlink(QFile::encodeName(filler()).constData()); }

    // Standard output on a pipe whose reader went away, then back again.
    void loseStandardOutputReader()
    {
        readerGone.emplace(StdoutSink::DeadReader);
        ASSERT_TRUE(readerGone->ok());
    }
    void restoreStandardOutput() { readerGone.reset(); }

    // Standard output on a pipe whose reader stops reading, as a hung log
    // collector does, just as a line longer than the pipe holds comes (a long
    // configuration warning or display format). From the end of the fault on
    // it reads again after every tick; what it reads counts as standard output.
    void stallStandardOutputReader()
    {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        stalledReadEnd = fds[0];
        stalledReader.emplace(fds[1]);
        ::close(fds[1]);
        ASSERT_TRUE(stalledReader->ok());
        qWarning().noquote() << QString(2 * ::fcntl(fds[0], F_GETPIPE_SZ), QLatin1Char('w'));
    }
    void takeStandardOutput()
    {
        char chunk[65536];
        for (ssize_t n; (n = ::read(stalledReadEnd, chunk, sizeof chunk)) > 0;)
            collected.append(chunk, static_cast<int>(n));
    }
    bool readerReads = false;

    // Another thread sends SIGHUP to the process as fast as it can, as a
    // hang-up storm or a reload reflex gone wild would.
    void startSignalStorm()
    {
        storming = true;
        storm = std::thread([this] {
            sigset_t own;
            sigemptyset(&own);
            sigaddset(&own, SIGHUP);
            ::pthread_sigmask(SIG_BLOCK, &own, nullptr);
            while (storming)
                ::kill(::getpid(), SIGHUP);
        });
    }
    void stopSignalStorm()
    {
        storming = false;
        if (storm.joinable())
            storm.join();
    }

    std::unique_ptr<BoardSimulator> board;

protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(logDirectory()));
        DaemonEnvironment environment = harness.environment();
        environment.logFile = logDirectory() + QStringLiteral("/wdt-daemon.log");
        harness.setEnvironment(environment);
        // Before the board's thread exists: a process with threads cannot
        // take a mount namespace of its own.
        if (GetParam().logOnTmpfs) {
            if (const char* refusal = mountTmpfs())
                GTEST_SKIP() << "no tmpfs for the log: " << refusal << ": " << std::strerror(errno);
            mounted = true;
        }

        board = std::make_unique<BoardSimulator>();
        ASSERT_TRUE(board->ok());
        board->reply("&01M", Reply::line("!01Z5"));
        board->fallback(healthyReply());
        // Built by concatenation: the templates hold "%1" of their own.
        harness.writeConfig(QStringLiteral("[Debug]\nEnabled=true\n[Global]\nForceTarvelo=on\n[Vendor_Tarvelo]\nPort=")
            + QString::fromStdString(board->portName())
            + QStringLiteral("\nStartCmds=~%1WS\nFeedCmds=~%1WF\nStopCmds=~%1WP\nEnvMonitor=on\nEnvIntervalMs=5\n"
                             "[Z555]\nIntervalMs=10\nTerm0Cmds=$%1T0:T0=%1\n"));
    }

    void TearDown() override
    {
        stopSignalStorm();
        board.reset();
        if (mounted)
            ::umount2(QFile::encodeName(logDirectory()).constData(), MNT_DETACH);
    }

    // Runs the daemon through the fault with standard output in a file.
    int run()
    {
        const RedirectedStdout captured(stdoutPath());
        EXPECT_TRUE(captured.ok());

        DaemonParts parts = productionParts();
        const auto makeBoard = parts.makeSerialBoard;
        parts.makeSerialBoard = [&](const QSettings& settings) -> std::shared_ptr<IVendorStrategy> {
            return std::make_shared<WatchedBoard>(makeBoard(settings), [&](int tick) { afterFeed(tick); });
        };
        SignalSender stop(
            [&] { return ticks >= kLastTick; }, SIGTERM, std::chrono::milliseconds(0), std::chrono::seconds(90));
        const int code = harness.run(parts);
        stopped = stop.met();
        // A run that ended inside the fault must not leave it behind.
        readerGone.reset();
        if (stalledReadEnd >= 0) {
            stalledReader.reset();
            takeStandardOutput();
            ::close(stalledReadEnd);
        }
        return code;
    }

    void afterFeed(int tick)
    {
        ticks = tick;
        const Fault& fault = GetParam();
        // The feed of this tick is complete, its request recorded; what the
        // board records is forgotten every tick so that it holds no memory.
        const int heard = static_cast<int>(board->count("~01WF"));
        board->clearRecord();
        if (tick > kFaultBegins && tick <= kFaultEnds)
            feedsHeardInFault += heard;
        else if (tick > kFaultEnds)
            feedsHeardAfterFault += heard;

        if (tick > kEarlyWindow && tick <= kEarlyWindow + kWindowTicks)
            heapEarly = std::min(heapEarly, heapInUse());
        if (tick > kLateWindow && tick <= kLateWindow + kWindowTicks)
            heapLate = std::min(heapLate, heapInUse());

        if (readerReads)
            takeStandardOutput();
        if (tick == kFaultBegins)
            fault.begin(*this);
        if (tick == kFaultEnds)
            fault.end(*this);
    }

    QString stdoutPath() const { return harness.path(QStringLiteral("stdout")); }
    QString filler() const { return logDirectory() + QStringLiteral("/filler"); }

    static QByteArray contents(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    DaemonHarness harness;
    // While the fault "StandardOutputReaderGone" lasts; nested in the capture.
    std::optional<RedirectedStdout> readerGone;
    // While the fault "StandardOutputReaderStallsOnALongLine" lasts and until
    // the run ends.
    std::optional<RedirectedStdout> stalledReader;
    int stalledReadEnd = -1;
    QByteArray collected;
    // Written on the daemon's thread, read by the one that stops it.
    std::atomic<int> ticks { 0 };
    bool stopped = false;
    int feedsHeardInFault = 0;
    int feedsHeardAfterFault = 0;
    size_t heapEarly = SIZE_MAX;
    size_t heapLate = SIZE_MAX;
    std::atomic<bool> storming { false };
    std::thread storm;

private:
    // Null when mounted, else the step that was refused.
    const char* mountTmpfs() const
    {
        if (::unshare(CLONE_NEWNS) != 0)
            return "unshare";
        // Nothing mounted here may reach the namespace of the host.
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return "private mounts";
        if (::mount("wdt-test", QFile::encodeName(logDirectory()).constData(), "tmpfs", 0, "size=1m") != 0)
            return "mount";
        return nullptr;
    }

    bool mounted = false;
};

TEST_P(FaultRun, FeedingGoesOnAndMemoryStaysBounded)
{
    const Fault& fault = GetParam();
    EXPECT_EQ(run(), 0);
    const int total = ticks;
    ASSERT_TRUE(stopped) << "the daemon did not reach tick " << kLastTick << ", only " << total;

    // The fault cost no feed the board could have heard, and every feed
    // reached it again once it was over.
    EXPECT_EQ(feedsHeardInFault, fault.boardMissesFeeds ? 0 : kFaultTicks);
    EXPECT_EQ(feedsHeardAfterFault, total - kFaultEnds);

    EXPECT_LE(heapLate, heapEarly + kHeapGrowthBound)
        << "heap grew by " << (heapLate - heapEarly) << " bytes over " << (kLateWindow - kEarlyWindow) << " ticks";

    // Each way out of the log either kept a line for every tick, or lost some
    // to the fault and still ends with the stop, written after it.
    const QByteArray logFile = contents(LOG_FILE);
    const QByteArray standardOutput = contents(stdoutPath()) + collected;
    for (const auto& [output, losesLines, where] : { std::make_tuple(logFile, fault.logFileLosesLines, "log file"),
             std::make_tuple(standardOutput, fault.standardOutputLosesLines, "standard output") }) {
        if (losesLines)
            EXPECT_LT(output.count(kFed), total) << where;
        else
            EXPECT_EQ(output.count(kFed), total) << where;
        EXPECT_TRUE(output.endsWith(kStopped)) << where << " ends with: " << output.right(200).toStdString();
    }

    // Every feed during the fault met it, and said so.
    if (fault.feedFailure) {
        const int reports = standardOutput.count(fault.feedFailure);
        EXPECT_GE(reports, kFaultTicks) << fault.feedFailure;
    }
    if (fault.faultNote) {
        EXPECT_GE(logFile.count(fault.faultNote), 1) << fault.faultNote;
    }
    if (fault.standardOutputNote) {
        EXPECT_GE(standardOutput.count(fault.standardOutputNote), 1) << fault.standardOutputNote;
    }
    if (fault.neverLogged) {
        EXPECT_EQ(logFile.count(fault.neverLogged), 0) << fault.neverLogged;
    }
    // Lines are dropped whole, never torn: each begins with its time stamp.
    const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\["));
    for (const QByteArray& line : standardOutput.split('\n'))
        EXPECT_TRUE(line.isEmpty() || stamp.match(QString::fromUtf8(line)).hasMatch()) << line.left(100).toStdString();
}

const Fault kFaults[] = {
    {
        "LogDirectoryMissing",
        [](FaultRun& run) {
            ASSERT_TRUE(QDir().rename(run.logDirectory(), run.logDirectory() + QStringLiteral(".gone")));
        },
        [](FaultRun& run) {
            ASSERT_TRUE(QDir().rename(run.logDirectory() + QStringLiteral(".gone"), run.logDirectory()));
        },
        /*logFileLosesLines=*/true,
    },
    {
        "LogFileSystemFull",
        [](FaultRun& run) { run.fillLogFileSystem(); },
        [](FaultRun& run) { run.freeLogFileSystem(); },
        /*logFileLosesLines=*/true,
        false,
        false,
        nullptr,
        /*logOnTmpfs=*/true,
    },
    {
        "StandardOutputReaderGone",
        [](FaultRun& run) { run.loseStandardOutputReader(); },
        [](FaultRun& run) { run.restoreStandardOutput(); },
        false,
        /*standardOutputLosesLines=*/true,
    },
    {
        "BoardUnpluggedAndPluggedBack",
        [](FaultRun& run) { run.board->closeLine(); },
        [](FaultRun& run) { run.board->reopenLine(); },
        false,
        false,
        /*boardMissesFeeds=*/true,
        /*feedFailure=*/"[CRIT ] Cant open port:",
    },
    {
        // Every reply, to feeds and readings alike, is twice the size bound
        // of line noise in one burst.
        "FloodOfReplyBytes",
        [](FaultRun& run) { run.board->fallback(Reply::bytes(BoardSimulator::garbage(8192))); },
        [](FaultRun& run) { run.board->fallback(healthyReply()); },
        false,
        false,
        false,
        /*feedFailure=*/"cut off after 4096 bytes: the board did not fall silent",
    },
    {
        // Each warning is a line of the log: one per second, not one per
        // signal, and the feeds keep their ticks.
        "SignalStorm",
        [](FaultRun& run) { run.startSignalStorm(); },
        [](FaultRun& run) { run.stopSignalStorm(); },
        false,
        false,
        false,
        nullptr,
        false,
        /*faultNote=*/"[WARN ] Сигнал 1 (SIGHUP) проигнорирован - кормление продолжается.",
    },
    {
        "StandardOutputReaderStallsOnALongLine",
        [](FaultRun& run) { run.stallStandardOutputReader(); },
        [](FaultRun& run) { run.readerReads = true; },
        false,
        /*standardOutputLosesLines=*/true,
        false,
        nullptr,
        false,
        nullptr,
        /*standardOutputNote=*/"[WARN ] Стандартный вывод не успевал принимать строки журнала, пропущено строк:",
    },
    {
        // Nobody reads it; with a reader it would pace every line.
        "LogPathIsAFifo",
        [](FaultRun&) {
            ASSERT_TRUE(QFile::rename(LOG_FILE, LOG_FILE + QStringLiteral(".kept")));
            ASSERT_EQ(::mkfifo(QFile::encodeName(LOG_FILE).constData(), 0600), 0);
        },
        [](FaultRun&) {
            ASSERT_TRUE(QFile::remove(LOG_FILE));
            ASSERT_TRUE(QFile::rename(LOG_FILE + QStringLiteral(".kept"), LOG_FILE));
        },
        /*logFileLosesLines=*/true,
    },
    {
        // Every tenth reading is answered only after its wait has ended, as a
        // module busy with a conversion does, and the others after a pause
        // that puts the late answer before the next reading's own: that
        // reading fails, the late answer is waited out instead of being
        // taken for the next one, and each feed comes on its tick all the
        // same.
        "SensorModuleAnswersLate",
        [](FaultRun& run) {
            run.board->respond([readings = 0](const std::string& request) mutable -> std::optional<Reply> {
                if (request != "$01T0")
                    return std::nullopt;
                return ++readings % 10 ? healthyReply().after(Millis(60)) : Reply::line("!01+99.0").after(Millis(250));
            });
        },
        [](FaultRun& run) { run.board->respond(nullptr); },
        false,
        false,
        false,
        nullptr,
        false,
        /*faultNote=*/"Timeout waiting for response",
        nullptr,
        /*neverLogged=*/"T0=99",
    },
};

INSTANTIATE_TEST_SUITE_P(Faults, FaultRun, ::testing::ValuesIn(kFaults), nameOf);

} // namespace
