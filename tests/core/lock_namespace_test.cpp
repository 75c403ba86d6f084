// The serial library's lock directory is world-writable; files another user
// plants there must not keep the daemon from its board. The real runs plant
// real files as user nobody in the real /run/lock, next to a daemon in a
// process of its own (a mount namespace needs a single-threaded process).

#include "core/candidates.h"
#include "core/lock_namespace.h"
#include "sim/board_simulator.h"
#include "support/daemon_harness.h"
#include "support/log_capture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Reply = BoardSimulator::Reply;

constexpr uid_t kNobody = 65534;
const QStringList kSystemLockDirectories { QStringLiteral("/run/lock"), QStringLiteral("/var/lock") };
const QString kWarning = QStringLiteral("[WARN ] Закрытый каталог блокировок последовательных портов не создан (");

// --- The steps, each refused in turn -------------------------------------

struct StepCase {
    const char* name;
    // The call that fails: "threads" (a second one runs), "unshare", "slave",
    // or a directory's tmpfs.
    const char* refused;
    // Directory names in a temporary directory; "link" points at "a".
    std::vector<const char*> directories;
    std::vector<const char*> mounted;
    const char* reason;
};

const StepCase kSteps[] = {
    { "AllGranted", nullptr, { "a", "link", "b" }, { "a", "b" }, nullptr },
    { "ThreadRunning", "threads", { "a" }, {}, "потоков в процессе: 2" },
    { "UnshareRefused", "unshare", { "a" }, {}, "unshare: " },
    { "PropagationRefused", "slave", { "a" }, {}, "mount --make-rslave /: " },
    { "OneTmpfsRefused", "a", { "a", "b" }, { "b" }, "mount tmpfs " },
    { "OneDirectoryMissing", nullptr, { "missing", "b" }, { "b" }, "нет каталога " },
    { "EveryDirectoryMissing", nullptr, { "missing" }, {}, "нет каталога " },
};

class LockNamespaceSteps : public ::testing::TestWithParam<StepCase> { };

// What the daemon would show with its debug switch off.
QStringList shown(const LogCapture& log)
{
    QStringList lines = log.lines();
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                    [](const QString& line) { return line.startsWith(QStringLiteral("[DEBUG]")); }),
        lines.end());
    return lines;
}

TEST_P(LockNamespaceSteps, CoversWhatItCanAndWarnsOnceOtherwise)
{
    const StepCase& step = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("a")) && QDir(dir.path()).mkdir(QStringLiteral("b")));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("a")), dir.filePath(QStringLiteral("link"))));
    const QString root = QFileInfo(dir.path()).canonicalFilePath();
    auto real = [&](const char* name) { return root + QLatin1Char('/') + QLatin1String(name); };

    QStringList directories;
    for (const char* name : step.directories)
        directories << dir.filePath(QLatin1String(name));
    bool unshared = false;
    bool slave = false;
    QStringList tmpfs;
    MountCalls calls {
        [&] { return std::strcmp(step.refused ? step.refused : "", "threads") == 0 ? 2 : 1; },
        [&](int flags) {
            EXPECT_EQ(flags, CLONE_NEWNS);
            errno = EINVAL;
            return std::strcmp(step.refused ? step.refused : "", "unshare") == 0 ? -1 : (unshared = true, 0);
        },
        [&](const char*, const char* target, const char* type, unsigned long flags, const void*) {
            EXPECT_TRUE(unshared);
            errno = EPERM;
            if (!type) {
                EXPECT_EQ(flags, static_cast<unsigned long>(MS_REC | MS_SLAVE));
                EXPECT_STREQ(target, "/");
                return std::strcmp(step.refused ? step.refused : "", "slave") == 0 ? -1 : (slave = true, 0);
            }
            EXPECT_TRUE(slave) << "a tmpfs mounted while still a peer of the host";
            if (step.refused && QString::fromUtf8(target) == real(step.refused))
                return -1;
            tmpfs << QString::fromUtf8(target);
            return 0;
        },
    };

    const LogCapture log;
    EXPECT_EQ(usePrivateLockDirectories(directories, calls), step.reason == nullptr);

    QStringList expected;
    for (const char* name : step.mounted)
        expected << real(name);
    EXPECT_EQ(tmpfs, expected);
    if (step.reason) {
        ASSERT_EQ(shown(log).size(), 1);
        EXPECT_TRUE(shown(log).first().startsWith(kWarning + QString::fromUtf8(step.reason)))
            << shown(log).first().toStdString();
    } else {
        EXPECT_TRUE(shown(log).isEmpty()) << shown(log).join(QLatin1Char('\n')).toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, LockNamespaceSteps, ::testing::ValuesIn(kSteps),
    [](const ::testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

TEST(LockNamespace, WithoutPrivilegeOneWarningAndNothingChanges)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to become user nobody";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(2);
        const LogCapture log;
        const bool covered = usePrivateLockDirectories(kSystemLockDirectories, systemMountCalls());
        const QString reason = QStringLiteral("unshare: ") + QString::fromLocal8Bit(std::strerror(EPERM));
        ::_exit(!covered && shown(log).size() == 1 && shown(log).first().startsWith(kWarning + reason) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// --- The real lock directory, with files of another user in it ------------

// The lock file the serial library takes for a device outside /dev: the whole
// path with its slashes turned into underscores.
std::string lockFileFor(const std::string& portName)
{
    std::string name = portName.rfind("/dev/", 0) == 0 ? portName.substr(5) : portName;
    std::replace(name.begin(), name.end(), '/', '_');
    return "/run/lock/LCK.." + name;
}

enum class Plant { LiveLock, Directory, Symlink, Fifo };

// Only calls that are safe after fork() in a process with threads.
void append(char*& out, const char* text)
{
    while (*text)
        *out++ = *text++;
}
void appendNumber(char*& out, long number)
{
    char digits[24];
    int n = 0;
    do
        digits[n++] = static_cast<char>('0' + number % 10);
    while ((number /= 10) > 0);
    while (n > 0)
        *out++ = digits[--n];
}

// A process of user nobody that puts one thing in place of the board's lock
// file and stays alive, so that a lock naming it counts as held, until it is
// destroyed; what it put there is taken away then.
class Planter {
public:
    Planter(Plant kind, const std::string& lockPath)
        : lockPath(lockPath)
        , decoy("/run/lock/wdt-test-decoy." + std::to_string(::getpid()))
    {
        // A lock the serial library honours: the pid of a live process, the
        // name of its program and this host.
        char exe[PATH_MAX] = {};
        const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        const std::string program = length > 0 ? std::string(exe, static_cast<std::size_t>(length)) : "";
        const std::string name = program.substr(program.rfind('/') + 1);
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);

        int ready[2];
        if (::pipe(ready) != 0)
            return;
        child = ::fork();
        if (child == 0) {
            char answer
                = ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 && plant(kind, name.c_str(), host) ? 'y' : 'n';
            if (::write(ready[1], &answer, 1) == 1)
                ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char answer = 'n';
        planted = child > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 'y';
        ::close(ready[0]);
        if (planted)
            ::lstat(lockPath.c_str(), &before);
    }

    ~Planter()
    {
        if (child > 0 && ::kill(child, SIGKILL) == 0)
            ::waitpid(child, nullptr, 0);
        ::unlink(lockPath.c_str());
        ::rmdir(lockPath.c_str());
        ::unlink(decoy.c_str());
    }

    bool ok() const { return planted; }
    /// Still the same file of nobody's, as planted.
    bool intact() const
    {
        struct stat now;
        return ::lstat(lockPath.c_str(), &now) == 0 && now.st_ino == before.st_ino && now.st_uid == kNobody;
    }

private:
    bool plant(Plant kind, const char* program, const char* host) const
    {
        switch (kind) {
        case Plant::LiveLock: {
            char text[600];
            char* out = text;
            appendNumber(out, ::getpid());
            append(out, "\n");
            append(out, program);
            append(out, "\n");
            append(out, host);
            append(out, "\n");
            const int fd = ::open(lockPath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd < 0)
                return false;
            const bool written = ::write(fd, text, static_cast<std::size_t>(out - text)) == out - text;
            return ::close(fd) == 0 && written;
        }
        case Plant::Directory:
            return ::mkdir(lockPath.c_str(), 0755) == 0;
        case Plant::Symlink:
            return ::mkfifo(decoy.c_str(), 0666) == 0 && ::symlink(decoy.c_str(), lockPath.c_str()) == 0;
        case Plant::Fifo:
            return ::mkfifo(lockPath.c_str(), 0666) == 0;
        }
        return false;
    }

    std::string lockPath;
    std::string decoy;
    pid_t child = -1;
    bool planted = false;
    struct stat before { };
};

// The daemon in a process of its own, where it is the only thread, as at a
// real start-up.
class DaemonProcess {
public:
    DaemonProcess(BoardSimulator& board, DaemonHarness& harness, const DaemonParts& parts)
        : child(board.forkWhileIdle([&] { return harness.InProcessDaemon::run(parts, /*quiet=*/true); }))
    {
    }
    ~DaemonProcess()
    {
        if (child > 0 && ::waitpid(child, nullptr, WNOHANG) == 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
    }

    bool started() const { return child > 0; }

    /// SIGTERM, then its exit code; -1 when it died otherwise or did not end
    /// within half a minute (it is killed then).
    int stop()
    {
        ::kill(child, SIGTERM);
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
        if (pidfd >= 0) {
            pollfd exited { pidfd, POLLIN, 0 };
            const bool ended = ::poll(&exited, 1, 30000) == 1;
            ::close(pidfd);
            if (!ended)
                return -1;
        }
        int status = 0;
        if (::waitpid(child, &status, 0) != child)
            return -1;
        child = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t child = -1;
};

// Waits, without a bound on the daemon's pace, until the board has heard
// @p request @p times; false after 20 s.
bool heard(const BoardSimulator& board, const std::string& request, std::size_t times)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (board.count(request) < times) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        board.waitForRequests(board.requestCount() + 1, std::chrono::milliseconds(100));
    }
    return true;
}

bool mountedHere(const char* source)
{
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    return mounts.open(QIODevice::ReadOnly) && mounts.readAll().contains(QByteArray(" ") + source + ' ');
}

// A forced board, fed every 100 ms (room for a feed and a reading per
// tick), with one monitored channel read at every tick, and the daemon told
// to take the real lock directories private.
class BoardRun {
public:
    BoardRun()
    {
        board.reply("&01M", Reply::line("!01Z5"));
        board.fallback(Reply::line("!01+20.5"));
        harness.writeConfig(QStringLiteral("[Debug]\nEnabled=true\n[Global]\nForceTarvelo=on\n[Vendor_Tarvelo]\nPort=")
            + QString::fromStdString(board.portName())
            + QStringLiteral("\nStartCmds=~%1WS\nFeedCmds=~%1WF\nStopCmds=~%1WP\nEnvMonitor=on\nEnvIntervalMs=5\n"
                             "[Z555]\nIntervalMs=100\nTerm0Cmds=$%1T0:T0=%1\n"));
        DaemonEnvironment environment = harness.environment();
        environment.lockDirectories = kSystemLockDirectories;
        harness.setEnvironment(environment);
    }

    std::string lockFile() const { return lockFileFor(board.portName()); }

    // Feeds and readings go on for a few more ticks.
    void expectServed()
    {
        EXPECT_TRUE(heard(board, "~01WF", board.count("~01WF") + 3)) << "feeds stopped";
        EXPECT_TRUE(heard(board, "$01T0", board.count("$01T0") + 2)) << "readings stopped";
    }

    BoardSimulator board;
    DaemonHarness harness;
};

struct PlantCase {
    const char* name;
    Plant kind;
    bool beforeStart;
};

const PlantCase kPlants[] = {
    { "LiveLockBeforeStart", Plant::LiveLock, true },
    { "LiveLockDuringRun", Plant::LiveLock, false },
    { "DirectoryBeforeStart", Plant::Directory, true },
    { "DirectoryDuringRun", Plant::Directory, false },
    { "SymlinkToFifoBeforeStart", Plant::Symlink, true },
    { "SymlinkToFifoDuringRun", Plant::Symlink, false },
    { "FifoBeforeStart", Plant::Fifo, true },
    { "FifoDuringRun", Plant::Fifo, false },
};

class PlantedLockFile : public ::testing::TestWithParam<PlantCase> { };

TEST_P(PlantedLockFile, DaemonStillDetectsFeedsReadsAndStopsTheBoard)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a mount namespace and files of user nobody need root";
    const PlantCase& plant = GetParam();
    BoardRun run;
    ASSERT_TRUE(run.board.ok());
    std::optional<Planter> planter;
    if (plant.beforeStart) {
        planter.emplace(plant.kind, run.lockFile());
        ASSERT_TRUE(planter->ok());
    }

    DaemonProcess daemon(run.board, run.harness, productionParts());
    ASSERT_TRUE(daemon.started());
    ASSERT_TRUE(heard(run.board, "~01WF", 3)) << run.harness.messages().join(QLatin1Char('\n')).toStdString();
    if (!plant.beforeStart) {
        planter.emplace(plant.kind, run.lockFile());
        ASSERT_TRUE(planter->ok());
    }
    run.expectServed();
    EXPECT_EQ(daemon.stop(), 0);

    EXPECT_EQ(run.board.count("~01WP"), 1u) << "the stop did not reach the board";
    EXPECT_EQ(run.harness.messages().filter(kWarning).size(), 0);
    EXPECT_EQ(run.harness.messages().filter(QStringLiteral("[CRIT ]")).size(), 0);
    // The daemon never saw the planted file, and its tmpfs stayed its own.
    EXPECT_TRUE(planter->intact());
    EXPECT_FALSE(mountedHere("wdt-daemon"));
}

INSTANTIATE_TEST_SUITE_P(Plants, PlantedLockFile, ::testing::ValuesIn(kPlants),
    [](const ::testing::TestParamInfo<PlantCase>& info) { return std::string(info.param.name); });

// The board simulator's thread is enough to refuse the namespace (it would
// go on seeing the shared directory): the daemon says so once and serves the
// board through the shared directory.
TEST(LockNamespace, InAProcessWithThreadsOneWarningAndTheBoardIsServedAsBefore)
{
    BoardRun run;
    ASSERT_TRUE(run.board.ok());
    SignalSender stop([&] { return run.board.count("~01WF") >= 5 && run.board.count("$01T0") >= 2; }, SIGTERM);
    EXPECT_EQ(run.harness.InProcessDaemon::run(productionParts(), /*quiet=*/true), 0);
    EXPECT_TRUE(stop.met()) << run.harness.messages().join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(run.board.count("~01WP"), 1u);
    const QStringList warnings = run.harness.messages().filter(kWarning);
    ASSERT_EQ(warnings.size(), 1) << warnings.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(warnings.first().startsWith(kWarning + QStringLiteral("потоков в процессе: ")))
        << warnings.first().toStdString();
}

} // namespace
