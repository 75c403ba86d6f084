#include "core/file_checks.h"
#include "core/globals.h"
#include "support/daemon_harness.h"
#include "support/log_capture.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(ConfigurationFile, AnythingButARegularFileReadsAsMissingWithOneWarning)
{
    const DaemonHarness harness;
    const QString path = harness.environment().configFile;
    const QByteArray encoded = QFile::encodeName(path);
    for (const std::string kind : { "missing", "regular", "fifo", "directory" }) {
        if (kind == "regular")
            harness.writeConfig(QStringLiteral("[Global]\n"));
        ASSERT_TRUE(kind != "fifo" || ::mkfifo(encoded.constData(), 0600) == 0);
        ASSERT_TRUE(kind != "directory" || QDir().mkdir(path));
        const bool missing = kind == "fifo" || kind == "directory";
        const LogCapture log;
        EXPECT_EQ(configurationFileToRead(path), missing ? QString() : path) << kind;
        EXPECT_EQ(log.lines(),
            missing ? QStringList { QStringLiteral("[WARN ] Файл настроек \"%1\" не является обычным файлом и не "
                                                   "прочитан: действуют значения по умолчанию.")
                                        .arg(path) }
                    : QStringList())
            << kind;
        ::unlink(encoded.constData());
        ::rmdir(encoded.constData());
    }
}

// Every reader, the monitor's own included, sees a missing file: the daemon
// arms with the defaults instead of waiting on the FIFO before arming.
TEST(ConfigurationFile, DaemonWithAFifoForItsConfigurationArmsWithTheDefaults)
{
    DaemonHarness harness;
    ASSERT_EQ(::mkfifo(QFile::encodeName(harness.environment().configFile).constData(), 0600), 0);
    auto board = harness.fake("Tarvelo", "TV-100", "100");
    board->answer = [](uint16_t port) { return port == 0x2E; };
    QString monitorPath = QStringLiteral("not asked");
    DaemonParts parts;
    parts.makeSerialBoard = [&](const QSettings&) { return board; };
    parts.makeMonitor = [&](const QString&, const QString& path) {
        monitorPath = path;
        return std::make_unique<FakeMonitor>(harness.journal);
    };
    const SignalSender stop(journalHas(harness.journal, "start"));
    const RedirectedStdout quiet;
    EXPECT_EQ(harness.run(parts), 0);
    EXPECT_EQ(harness.journal->count("start Tarvelo 0x2e 7"), 1);
    EXPECT_TRUE(monitorPath.isEmpty()) << monitorPath.toStdString();
    ASSERT_FALSE(harness.messages().isEmpty());
    EXPECT_TRUE(harness.messages().first().startsWith(QStringLiteral("[WARN ] Файл настроек")));
}

} // namespace
