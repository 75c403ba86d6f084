#include "core/globals.h"
#include "core/logging.h"
#include "support/daemon_harness.h"

#include <QDebug>
#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QDateTime kWhen(QDate(2026, 12, 5), QTime(20, 22, 33));

TEST(LogLineFormat, StampAndEightCharacterTagPerLevel)
{
    const struct {
        QtMsgType type;
        const char* line;
    } rows[] = {
        {QtDebugMsg, "2026-12-05 20:22:33 [DEBUG] x"},
        {QtInfoMsg, "2026-12-05 20:22:33 [INFO ] x"},
        {QtWarningMsg, "2026-12-05 20:22:33 [WARN ] x"},
        {QtCriticalMsg, "2026-12-05 20:22:33 [CRIT ] x"},
        {QtFatalMsg, "2026-12-05 20:22:33 [FATAL] x"},
        // No level of its own, yet a value the type can hold (levels 0..4
        // make its range 0..7): anything beyond is undefined behaviour.
        {static_cast<QtMsgType>(7), "2026-12-05 20:22:33 x"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(formatLogLine(row.type, kWhen, QStringLiteral("x")), QString::fromUtf8(row.line)) << row.line;
}

// Redirects standard output into a file for the lifetime of the object.
class StdoutToFile {
public:
    explicit StdoutToFile(const QString& path)
    {
        saved = ::dup(STDOUT_FILENO);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~StdoutToFile()
    {
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }

private:
    int saved;
};

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class MessageHandlerTest : public ::testing::Test {
protected:
    void SetUp() override { qInstallMessageHandler(messageHandler); }
    void TearDown() override { qInstallMessageHandler(nullptr); }

    DaemonHarness harness; // points LOG_FILE into a temporary directory
};

TEST_F(MessageHandlerTest, SameUtf8LineOnStandardOutputAndInTheFile)
{
    const QString out = harness.path(QStringLiteral("stdout"));
    {
        StdoutToFile redirect(out);
        qInfo() << "Обнаружено устройство:" << QStringLiteral("Ite") << "Модель:" << QStringLiteral("IT8728F") << "("
                << QStringLiteral("0x8728") << ")";
    }
    const QByteArray written = contents(out);
    EXPECT_EQ(written, contents(LOG_FILE));
    ASSERT_TRUE(written.endsWith('\n'));
    EXPECT_TRUE(written.mid(19).startsWith(" [INFO ] ")) << written.constData();
    EXPECT_EQ(written.mid(28),
              QByteArray("Обнаружено устройство: \"Ite\" Модель: \"IT8728F\" ( \"0x8728\" )\n"));
}

TEST_F(MessageHandlerTest, DebugStreamQuotesTextValuesAndDropsTheTrailingBlank)
{
    qWarning() << "reg:" << QStringLiteral("a\"b\\c\td") << 15;
    qInfo() << "=== Monitoring enabled from config. Interval(ms):" << 60000 << " ===";
    const QStringList messages = harness.messages();
    ASSERT_EQ(messages.size(), 2);
    EXPECT_EQ(messages[0], QStringLiteral("[WARN ] reg: \"a\\\"b\\\\c\\td\" 15"));
    EXPECT_EQ(messages[1], QStringLiteral("[INFO ] === Monitoring enabled from config. Interval(ms): 60000  ==="));
}

TEST_F(MessageHandlerTest, MessageEndingInLineBreakLeavesAnEmptyLine)
{
    qInfo("*****************\n");
    qInfo() << "next";
    const QStringList lines = harness.logLines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("[INFO ] *****************")));
    EXPECT_EQ(lines[1], QString());
    EXPECT_TRUE(lines[2].endsWith(QStringLiteral("[INFO ] next")));
}

TEST_F(MessageHandlerTest, MissingLogDirectoryStillReachesStandardOutput)
{
    LOG_FILE = harness.path(QStringLiteral("no-such-dir/wdt-daemon.log"));
    const QString out = harness.path(QStringLiteral("stdout"));
    {
        StdoutToFile redirect(out);
        qCritical() << "still here";
    }
    EXPECT_TRUE(contents(out).endsWith("[CRIT ] still here\n"));
    EXPECT_FALSE(QFile::exists(LOG_FILE));
}

TEST_F(MessageHandlerTest, FileIsAppendedToNeverTruncated)
{
    {
        QFile file(LOG_FILE);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("earlier line\n");
    }
    qInfo() << "x";
    const QStringList lines = harness.logLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("earlier line"));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("[INFO ] x")));
}

TEST_F(MessageHandlerTest, DeadReaderOnStandardOutputNeitherKillsNorLosesTheFileLine)
{
    installMessageHandler(); // ignores SIGPIPE
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]); // the log collector is gone
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);

    qInfo() << "first";
    qInfo() << "second";

    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    EXPECT_EQ(harness.messages(), (QStringList{QStringLiteral("[INFO ] first"), QStringLiteral("[INFO ] second")}));
}

TEST_F(MessageHandlerTest, StalledReaderOnStandardOutputDoesNotBlockLogging)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // The collector is alive but reads nothing: fill its pipe.
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const QByteArray chunk(4096, 'x');
    while (::write(fds[1], chunk.constData(), chunk.size()) > 0) {
    }
    ::fcntl(fds[1], F_SETFL, 0);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);

    std::atomic<bool> logged{false};
    std::thread logger([&] {
        qInfo() << "while the reader stalls";
        logged = true;
    });
    for (int i = 0; i < 5000 && !logged; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool returned = logged;
    // Let a blocked write finish so the thread can be joined either way.
    char sink[65536];
    while (!logged && ::read(fds[0], sink, sizeof sink) > 0) {
    }
    logger.join();
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(fds[0]);

    EXPECT_TRUE(returned) << "logging blocked on a stalled standard output";
    EXPECT_EQ(harness.messages(), QStringList{QStringLiteral("[INFO ] while the reader stalls")});
}

TEST_F(MessageHandlerTest, ClosedStandardOutputIsNotTakenOverByAnotherFile)
{
    const int saved = ::dup(STDOUT_FILENO);
    ::close(STDOUT_FILENO);
    installMessageHandler();
    const bool occupied = ::fcntl(STDOUT_FILENO, F_GETFD) != -1;
    // With descriptor 1 free, the log file (or a serial device) opened next
    // would become "standard output" and receive foreign bytes.
    const int next = ::open("/dev/null", O_RDONLY);
    qInfo() << "x";
    ::close(next);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);

    EXPECT_TRUE(occupied);
    EXPECT_NE(next, STDOUT_FILENO);
    EXPECT_EQ(harness.logLines().size(), 1);
}

} // namespace
