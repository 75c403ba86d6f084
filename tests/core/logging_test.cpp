#include "core/globals.h"
#include "core/logging.h"
#include "support/daemon_harness.h"

#include <QDebug>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

// What the reader of @p readEnd (non-blocking) can take right now.
QByteArray drain(int readEnd)
{
    QByteArray taken;
    char chunk[65536];
    for (ssize_t n; (n = ::read(readEnd, chunk, sizeof chunk)) > 0;)
        taken.append(chunk, static_cast<int>(n));
    return taken;
}

// Nothing reads the pipe until the end: a write that waited would hang here.
TEST_F(MessageHandlerTest, StalledReaderGetsALongLineWholeAndOneCountOfWhatWasDropped)
{
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    // Longer than all the room the pipe has.
    const QString longLine
        = QStringLiteral("[WARN ] ") + QString(::fcntl(fds[1], F_GETPIPE_SZ) * 3 / 2, QLatin1Char('x'));
    QByteArray received;
    {
        const RedirectedStdout stalled(fds[1]);
        ::close(fds[1]);
        ASSERT_TRUE(stalled.ok());
        qWarning().noquote() << longLine.mid(8);
        qInfo() << "second";
        qInfo() << "third";
        received = drain(fds[0]); // the reader takes lines again
        qInfo() << "fourth";
        received += drain(fds[0]);
    }
    ::close(fds[0]);

    QStringList lines = QString::fromUtf8(received).split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = line.mid(20);
    // Compared apart: a failure would print it whole.
    EXPECT_TRUE(!lines.isEmpty() && lines.takeFirst() == longLine) << "the long line was torn";
    EXPECT_EQ(lines,
        (QStringList {
            QStringLiteral("[WARN ] Стандартный вывод не успевал принимать строки журнала, пропущено строк: 2"),
            QStringLiteral("[INFO ] fourth"), QString() }));
    EXPECT_TRUE(harness.messages()
        == (QStringList { longLine, QStringLiteral("[INFO ] second"), QStringLiteral("[INFO ] third"),
            QStringLiteral("[INFO ] fourth") }));
}

// Without a reader an open that waited for one would hang here.
TEST_F(MessageHandlerTest, FifoInPlaceOfTheLogFileIsNeitherWaitedForNorWritten)
{
    const QByteArray fifo = QFile::encodeName(LOG_FILE);
    for (const bool withReader : { false, true }) {
        ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
        const int reader = withReader ? ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        const QString out = harness.path(QStringLiteral("stdout"));
        {
            const RedirectedStdout redirect(out);
            ASSERT_TRUE(redirect.ok());
            qInfo() << "x";
        }
        EXPECT_TRUE(contents(out).endsWith("[INFO ] x\n")) << withReader;
        if (reader >= 0) {
            EXPECT_EQ(drain(reader), QByteArray());
            ::close(reader);
        }
        ::unlink(fifo.constData());
    }
}

TEST_F(MessageHandlerTest, JournalStreamLinesStartWithTheirSyslogPriority)
{
    int journal[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, journal), 0);
    ::fcntl(journal[1], F_SETFL, O_NONBLOCK);
    struct stat stream;
    ASSERT_EQ(::fstat(journal[0], &stream), 0);
    // The stream itself, and another socket's name on the same device.
    for (const quint64 inode : { quint64(stream.st_ino), quint64(stream.st_ino) + 1 }) {
        const bool named = inode == stream.st_ino;
        ::setenv("JOURNAL_STREAM", (QByteArray::number(quint64(stream.st_dev)) + ':' + QByteArray::number(inode)), 1);
        {
            const RedirectedStdout toJournal(journal[0]);
            ASSERT_TRUE(toJournal.ok());
            installMessageHandler();
            qDebug() << "d";
            qWarning() << "w";
            qCritical() << "c";
            qInfo("two\n"); // two lines, two entries
        }
        const QString written
            = QString::fromUtf8(drain(journal[1]))
                  .remove(QRegularExpression(QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ")));
        const QString expected = QStringLiteral("<7>[DEBUG] d\n<4>[WARN ] w\n<3>[CRIT ] c\n<6>[INFO ] two\n<6>\n");
        // Elsewhere the same lines without a priority.
        const QString withoutPriority = QString(expected).remove(QRegularExpression(QStringLiteral("<\\d>")));
        EXPECT_EQ(written, named ? expected : withoutPriority);
    }
    ::unsetenv("JOURNAL_STREAM");
    ::close(journal[0]);
    ::close(journal[1]);
    // The file never gets a priority.
    EXPECT_EQ(harness.messages().count(QStringLiteral("[CRIT ] c")), 2);
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
