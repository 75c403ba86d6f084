#include "core/file_checks.h"
#include "core/globals.h"
#include "support/daemon_harness.h"
#include "support/log_capture.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(ConfigurationFile, AnythingButARegularFileReadsAsMissingWithOneWarning)
{
    const DaemonHarness harness;
    const QString path = harness.path(QStringLiteral("wdt.ini"));
    const QByteArray encoded = QFile::encodeName(path);
    const struct {
        const char* kind;
        bool readAsMissing;
    } rows[] = { { "missing", false }, { "regular", false }, { "fifo", true }, { "directory", true } };
    for (const auto& row : rows) {
        const std::string kind = row.kind;
        if (kind == "regular") {
            harness.writeConfig(QStringLiteral("[Global]\nIntervalMs=10\n"));
        } else if (kind == "fifo") {
            ASSERT_EQ(::mkfifo(encoded.constData(), 0600), 0);
        } else if (kind == "directory") {
            ASSERT_TRUE(QDir().mkdir(path));
        }
        const LogCapture log;
        const QString read = configurationFileToRead(path);
        EXPECT_EQ(read, row.readAsMissing ? QString() : path) << kind;
        EXPECT_EQ(log.lines(),
            row.readAsMissing
                ? QStringList { QStringLiteral("[WARN ] Файл настроек \"%1\" не является обычным файлом и "
                                               "не прочитан: действуют значения по умолчанию.")
                                    .arg(path) }
                : QStringList())
            << kind;
        ::unlink(encoded.constData());
        ::rmdir(encoded.constData());
    }
}

// A FIFO in the configuration's place: the daemon starts with every default,
// the monitor's own reader included, instead of waiting before arming.
TEST(ConfigurationFile, DaemonWithAFifoForItsConfigurationArmsWithTheDefaults)
{
    DaemonHarness harness;
    const QByteArray fifo = QFile::encodeName(harness.environment().configFile);
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    auto board = harness.fake("Tarvelo", "TV-100", "100");
    board->answer = [](uint16_t port) { return port == 0x2E; };
    QString monitorPath = QStringLiteral("not asked");
    DaemonParts parts;
    parts.makeSerialBoard = [&](const QSettings&) { return board; };
    parts.makeMonitor = [&](const QString&, const QString& path) {
        monitorPath = path;
        return std::make_unique<FakeMonitor>(harness.journal);
    };
    int code = -1;
    {
        const SignalSender stop(journalHas(harness.journal, "start"));
        // Should a reader wait on the FIFO after all, a writer that comes
        // and goes ends its wait after a generous bound, so that the run
        // fails instead of hanging.
        std::mutex mutex;
        std::condition_variable finished;
        bool ran = false;
        std::thread writer([&] {
            std::unique_lock<std::mutex> lock(mutex);
            const auto over = [&] { return ran; };
            for (auto wait = std::chrono::milliseconds(10000); !finished.wait_for(lock, wait, over);
                 wait = std::chrono::milliseconds(10)) {
                const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0)
                    ::close(fd);
            }
        });
        {
            const RedirectedStdout quiet;
            code = harness.run(parts);
        }
        {
            const std::lock_guard<std::mutex> lock(mutex);
            ran = true;
        }
        finished.notify_all();
        writer.join();
    }
    EXPECT_EQ(code, 0);
    EXPECT_EQ(harness.journal->count("start Tarvelo 0x2e 7"), 1);
    EXPECT_TRUE(monitorPath.isEmpty()) << monitorPath.toStdString();
    ASSERT_FALSE(harness.messages().isEmpty());
    EXPECT_TRUE(harness.messages().first().startsWith(QStringLiteral("[WARN ] Файл настроек")));
    EXPECT_TRUE(harness.messages().contains(QStringLiteral("[INFO ] === Monitoring disabled from config. ===")));
}

} // namespace
