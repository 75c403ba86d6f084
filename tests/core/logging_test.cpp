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
        { QtDebugMsg, "2026-12-05 20:22:33 [DEBUG] x" },
        { QtInfoMsg, "2026-12-05 20:22:33 [INFO ] x" },
        { QtWarningMsg, "2026-12-05 20:22:33 [WARN ] x" },
        { QtCriticalMsg, "2026-12-05 20:22:33 [CRIT ] x" },
        { QtFatalMsg, "2026-12-05 20:22:33 [FATAL] x" },
        // No level of its own, yet a value the type can hold (levels 0..4
        // make its range 0..7): anything beyond is undefined behaviour.
        { static_cast<QtMsgType>(7), "2026-12-05 20:22:33 x" },
    };
    for (const auto& row : rows)
        EXPECT_EQ(formatLogLine(row.type, kWhen, QStringLiteral("x")), QString::fromUtf8(row.line)) << row.line;
}

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
        const RedirectedStdout redirect(out);
        ASSERT_TRUE(redirect.ok());
        qInfo() << "Обнаружено устройство:" << QStringLiteral("Ite") << "Модель:" << QStringLiteral("IT8728F") << "("
                << QStringLiteral("0x8728") << ")";
    }
    const QByteArray written = contents(out);
    EXPECT_EQ(written, contents(LOG_FILE));
    ASSERT_TRUE(written.endsWith('\n'));
    EXPECT_TRUE(written.mid(19).startsWith(" [INFO ] ")) << written.constData();
    EXPECT_EQ(written.mid(28), QByteArray("Обнаружено устройство: \"Ite\" Модель: \"IT8728F\" ( \"0x8728\" )\n"));
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
        const RedirectedStdout redirect(out);
        ASSERT_TRUE(redirect.ok());
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
    {
        const RedirectedStdout collectorGone(StdoutSink::DeadReader);
        ASSERT_TRUE(collectorGone.ok());
        qInfo() << "first";
        qInfo() << "second";
    }
    EXPECT_EQ(harness.messages(), (QStringList { QStringLiteral("[INFO ] first"), QStringLiteral("[INFO ] second") }));
}

TEST_F(MessageHandlerTest, StalledReaderOnStandardOutputDoesNotBlockLogging)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // The collector is alive but reads nothing: fill its pipe.
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const QByteArray chunk(4096, 'x');
    while (::write(fds[1], chunk.constData(), chunk.size()) > 0) { }
    ::fcntl(fds[1], F_SETFL, 0);
    std::atomic<bool> logged { false };
    bool returned = false;
    {
        const RedirectedStdout stalled(fds[1]);
        ::close(fds[1]);
        ASSERT_TRUE(stalled.ok());
        std::thread logger([&] {
            qInfo() << "while the reader stalls";
            logged = true;
        });
        for (int i = 0; i < 5000 && !logged; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        returned = logged;
        // Let a blocked write finish so the thread can be joined either way.
        char sink[65536];
        while (!logged && ::read(fds[0], sink, sizeof sink) > 0) { }
        logger.join();
    }
    ::close(fds[0]);

    EXPECT_TRUE(returned) << "logging blocked on a stalled standard output";
    EXPECT_EQ(harness.messages(), QStringList { QStringLiteral("[INFO ] while the reader stalls") });
}

TEST_F(MessageHandlerTest, ClosedStandardOutputIsNotTakenOverByAnotherFile)
{
    bool occupied = false;
    int next = -1;
    {
        const RedirectedStdout closed(StdoutSink::Closed);
        ASSERT_TRUE(closed.ok());
        installMessageHandler();
        occupied = ::fcntl(STDOUT_FILENO, F_GETFD) != -1;
        // With descriptor 1 free, the log file (or a serial device) opened
        // next would become "standard output" and receive foreign bytes.
        next = ::open("/dev/null", O_RDONLY);
        qInfo() << "x";
        ::close(next);
    }

    EXPECT_TRUE(occupied);
    EXPECT_NE(next, STDOUT_FILENO);
    EXPECT_EQ(harness.logLines().size(), 1);
}

} // namespace
