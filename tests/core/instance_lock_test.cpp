#include "core/globals.h"
#include "core/instance_lock.h"
#include "sim/in_process_daemon.h"
#include "support/daemon_harness.h"
#include "support/log_capture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray pidLine(pid_t pid)
{
    return QByteArray::number(static_cast<qlonglong>(pid)) + '\n';
}

QString refusal(const QString& path, pid_t pid)
{
    return QStringLiteral("[CRIT ] Демон уже запущен (PID %1): файл блокировки \"%2\" занят.").arg(pid).arg(path);
}

TEST(InstanceLock, SecondLockOfTheSameFileIsRefusedAndLeavesTheHoldersPid)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("wdt-daemon.pid"));
    const LogCapture log;
    {
        InstanceLock first(path);
        ASSERT_EQ(first.acquire(), InstanceLock::Result::Held);
        EXPECT_EQ(contents(path), pidLine(::getpid()));

        // A separate open file description, as a second daemon would have.
        InstanceLock second(path);
        EXPECT_EQ(second.acquire(), InstanceLock::Result::HeldElsewhere);
        EXPECT_EQ(second.holder(), ::getpid());
        EXPECT_EQ(contents(path), pidLine(::getpid()));
        EXPECT_EQ(log.lines(), QStringList { refusal(path, ::getpid()) });
    }
    InstanceLock next(path);
    EXPECT_EQ(next.acquire(), InstanceLock::Result::Held);
    EXPECT_EQ(log.lines().size(), 1);
}

// The lock ends with its process, even with one killed outright: the
// restarted daemon must not find a stale lock.
TEST(InstanceLock, LockOfAnotherProcessHoldsUntilThatProcessDies)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("wdt-daemon.pid"));
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InstanceLock lock(path);
        const char answer = lock.acquire() == InstanceLock::Result::Held ? 'y' : 'n';
        if (::write(ready[1], &answer, 1) != 1)
            ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(answer, 'y');

    const LogCapture log;
    InstanceLock lock(path);
    EXPECT_EQ(lock.acquire(), InstanceLock::Result::HeldElsewhere);
    EXPECT_EQ(lock.holder(), child);
    EXPECT_EQ(log.lines(), QStringList { refusal(path, child) });

    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    EXPECT_EQ(lock.acquire(), InstanceLock::Result::Held);
    EXPECT_EQ(contents(path), pidLine(::getpid()));
}

// Neither is a lock: one warning, and whatever lies behind the name is left
// as it was (no truncation through a link, no open that waits on a FIFO).
TEST(InstanceLock, PathThatCannotHoldALockGivesOneWarning)
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("precious"));
    QFile file(target);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("keep me\n");
    file.close();
    const QString link = dir.filePath(QStringLiteral("link.pid"));
    ASSERT_TRUE(QFile::link(target, link));
    const QString fifo = dir.filePath(QStringLiteral("fifo.pid"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    for (const QString& path : { dir.filePath(QStringLiteral("no/such/dir/wdt-daemon.pid")), link, fifo }) {
        SCOPED_TRACE(path.toStdString());
        const LogCapture log;
        InstanceLock lock(path);
        EXPECT_EQ(lock.acquire(), InstanceLock::Result::Unavailable);
        ASSERT_EQ(log.lines().size(), 1);
        EXPECT_TRUE(
            log.lines().first().startsWith(QStringLiteral("[WARN ] Файл блокировки \"%1\" не создан (").arg(path)))
            << log.lines().first().toStdString();
    }
    EXPECT_EQ(contents(target), QByteArray("keep me\n"));
}

TEST(InstanceLock, SecondDaemonIsRefusedBeforeItTouchesAPortOrTheSerialLine)
{
    DaemonHarness harness;
    InstanceLock first(PID_FILE);
    ASSERT_EQ(first.acquire(), InstanceLock::Result::Held);

    DaemonParts parts = superIoParts();
    const auto board = harness.fake("Tarvelo");
    board->answer = [](uint16_t) { return true; };
    parts.makeSerialBoard = [&](const QSettings&) { return board; };
    EXPECT_EQ(harness.run(parts), 1);

    EXPECT_EQ(harness.messages().filter(QStringLiteral("[CRIT ]")), QStringList { refusal(PID_FILE, ::getpid()) });
    EXPECT_EQ(harness.messages().last(), refusal(PID_FILE, ::getpid()));
    EXPECT_TRUE(harness.fakePlatform.trace.empty());
    EXPECT_TRUE(harness.journal->events().empty());
    EXPECT_EQ(contents(PID_FILE), pidLine(::getpid()));
}

} // namespace
