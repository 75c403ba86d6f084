#include "core/metrics_file.h"
#include "support/daemon_harness.h"
#include "support/log_capture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Table = EnvironmentMonitor::Table;

// A monitor whose channels show what a test says, read or not.
class ShownMonitor : public EnvironmentMonitor {
public:
    int channelCount(Table table) const override
    {
        int count = 0;
        for (const auto& state : states)
            count += state.table == table ? 1 : 0;
        return count;
    }
    void readChannel(Table table, int index) override
    {
        for (auto& state : states) {
            if (state.table == table && index-- == 0)
                state.read = true;
        }
    }
    int readingWorstCaseMs() const override { return 0; }
    std::vector<ChannelState> channelStates() const override { return states; }

    std::vector<ChannelState> states;
};

EnvironmentMonitor::ChannelState channel(Table table, const char* name, bool read, double value, int failures)
{
    EnvironmentMonitor::ChannelState state;
    state.table = table;
    state.name = QLatin1String(name);
    state.read = read;
    state.value = value;
    state.failures = failures;
    return state;
}

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QStringLiteral("<missing>");
}

struct Metrics {
    explicit Metrics(const QString& path, const EnvironmentMonitor* monitor = nullptr)
        : file(
            path,
            { QStringLiteral("Tarvelo"), QStringLiteral("TV \"100\"\\\n"), QStringLiteral("100"),
                QStringLiteral("/dev/ttyS0"), 1500, 4 },
            monitor, [this] { return steadyMs; }, [this] { return wallS; })
    {
    }
    qint64 steadyMs = 0;
    qint64 wallS = 1700000000;
    MetricsFile file;
};

TEST(MetricsFile, TextShowsTheStateWithEscapedLabelsAndOnlyChannelsRead)
{
    ShownMonitor monitor;
    monitor.states = { channel(Table::Static, "HitWDT", true, 1, 0),
        channel(Table::Dynamic, "Term0", true, double(23.1f), 1), channel(Table::Dynamic, "Cool0", false, 0, 2) };
    QTemporaryDir dir;
    Metrics metrics(dir.filePath(QStringLiteral("wdt.prom")), &monitor);
    metrics.file.armed();
    metrics.wallS += 3;
    metrics.file.fed();
    metrics.file.fed();
    EXPECT_EQ(metrics.file.text().split(QLatin1Char('\n')),
        QString::fromUtf8(R"(# HELP wdt_device_info The watchdog the daemon drives; always 1.
# TYPE wdt_device_info gauge
wdt_device_info{vendor="Tarvelo",model="TV \"100\"\\\n",code="100",device="/dev/ttyS0"} 1
# HELP wdt_armed 1 while the watchdog is armed; 0 once the orderly stop disarmed it.
# TYPE wdt_armed gauge
wdt_armed 1
# HELP wdt_test_mode 1 once the test marker stopped the feeding: the watchdog is to reset the machine.
# TYPE wdt_test_mode gauge
wdt_test_mode 0
# HELP wdt_interval_seconds The feed period.
# TYPE wdt_interval_seconds gauge
wdt_interval_seconds 1.5
# HELP wdt_timeout_seconds The watchdog timeout: unfed this long, it resets the machine.
# TYPE wdt_timeout_seconds gauge
wdt_timeout_seconds 4
# HELP wdt_feeds_total Feeds since the daemon started.
# TYPE wdt_feeds_total counter
wdt_feeds_total 2
# HELP wdt_last_feed_timestamp_seconds When the last feed went out, in seconds since the epoch.
# TYPE wdt_last_feed_timestamp_seconds gauge
wdt_last_feed_timestamp_seconds 1700000003
# HELP wdt_start_time_seconds When the daemon armed the watchdog, in seconds since the epoch.
# TYPE wdt_start_time_seconds gauge
wdt_start_time_seconds 1700000000
# HELP wdt_channel_value The last value read from an environment channel of the board.
# TYPE wdt_channel_value gauge
wdt_channel_value{table="static",channel="HitWDT"} 1
wdt_channel_value{table="dynamic",channel="Term0"} 23.1
# HELP wdt_channel_failures_total Readings of an environment channel that gave no value.
# TYPE wdt_channel_failures_total counter
wdt_channel_failures_total{table="static",channel="HitWDT"} 0
wdt_channel_failures_total{table="dynamic",channel="Term0"} 1
wdt_channel_failures_total{table="dynamic",channel="Cool0"} 2
)")
            .split(QLatin1Char('\n')));
}

TEST(MetricsFile, BeforeTheFirstFeedTheLastFeedHasNoSampleAndTheStopDisarms)
{
    QTemporaryDir dir;
    Metrics metrics(dir.filePath(QStringLiteral("wdt.prom")));
    metrics.file.armed();
    EXPECT_FALSE(metrics.file.text().contains(QLatin1String("\nwdt_last_feed_timestamp_seconds ")));
    EXPECT_FALSE(metrics.file.text().contains(QLatin1String("wdt_channel")));
    metrics.file.feedingStopped();
    metrics.file.stopped();
    const QString text = readAll(dir.filePath(QStringLiteral("wdt.prom")));
    EXPECT_TRUE(text.contains(QLatin1String("\nwdt_armed 0\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QLatin1String("\nwdt_test_mode 1\n"))) << text.toStdString();
}

TEST(MetricsFile, LabelValuesEscapeBackslashQuoteAndLineFeedOnly)
{
    const struct {
        const char* raw;
        const char* escaped;
    } rows[] = {
        { "", "" },
        { "/dev/ttyS0", "/dev/ttyS0" },
        { "a\\b", "a\\\\b" },
        { "say \"hi\"", "say \\\"hi\\\"" },
        { "two\nlines", "two\\nlines" },
        { "tab\tand\rreturn", "tab\tand\rreturn" },
        { "Плата \\\"\n", "Плата \\\\\\\"\\n" },
    };
    for (const auto& row : rows)
        EXPECT_EQ(metricsLabelValue(QString::fromUtf8(row.raw)), QString::fromUtf8(row.escaped)) << row.raw;
}

// A feed writes only 15 s after the last write of any kind; arming, a sweep
// and a change of state write at once.
TEST(MetricsFile, FeedsWriteAtMostEveryFifteenSecondsStateChangesAtOnce)
{
    enum class Step { Armed, Fed, Sweep, Stopped, Stop };
    const struct {
        Step step;
        qint64 atMs;
        bool writes;
    } steps[] = {
        { Step::Armed, 0, true },
        { Step::Fed, 3000, false },
        { Step::Fed, 14999, false },
        { Step::Fed, 15000, true },
        { Step::Sweep, 16000, true },
        { Step::Fed, 30999, false },
        { Step::Fed, 31000, true },
        { Step::Fed, 31001, false },
        { Step::Stopped, 31002, true },
        { Step::Stop, 31003, true },
    };
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("wdt.prom"));
    Metrics metrics(path);
    for (const auto& row : steps) {
        QFile::remove(path);
        metrics.steadyMs = row.atMs;
        switch (row.step) {
        case Step::Armed:
            metrics.file.armed();
            break;
        case Step::Fed:
            metrics.file.fed();
            break;
        case Step::Sweep:
            metrics.file.sweepEnded();
            break;
        case Step::Stopped:
            metrics.file.feedingStopped();
            break;
        case Step::Stop:
            metrics.file.stopped();
            break;
        }
        EXPECT_EQ(QFile::exists(path), row.writes) << "at " << row.atMs << " ms";
    }
}

// What lies at the file's name or at its temporary's is replaced, never
// opened or followed: a symlink planted at the temporary name would
// otherwise let the daemon overwrite any file, and a FIFO at the target
// would hold its only thread.
TEST(MetricsFile, WhatLiesAtTheTargetOrTheTemporaryIsReplacedNotFollowed)
{
    enum class Planted { Nothing, SymlinkAtTemporary, StaleTemporary, FifoAtTarget, SymlinkAtTarget };
    for (const Planted planted : { Planted::Nothing, Planted::SymlinkAtTemporary, Planted::StaleTemporary,
             Planted::FifoAtTarget, Planted::SymlinkAtTarget }) {
        SCOPED_TRACE(static_cast<int>(planted));
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("wdt.prom"));
        const QString temporary = dir.filePath(QStringLiteral(".wdt.prom.tmp"));
        const QString victim = dir.filePath(QStringLiteral("victim"));
        QFile victimFile(victim);
        ASSERT_TRUE(victimFile.open(QIODevice::WriteOnly));
        victimFile.write("precious\n");
        victimFile.close();
        switch (planted) {
        case Planted::Nothing:
            break;
        case Planted::SymlinkAtTemporary:
            ASSERT_TRUE(QFile::link(victim, temporary));
            break;
        case Planted::StaleTemporary:
            ASSERT_TRUE(QFile::copy(victim, temporary));
            break;
        case Planted::FifoAtTarget:
            ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            break;
        case Planted::SymlinkAtTarget:
            ASSERT_TRUE(QFile::link(victim, path));
            break;
        }

        Metrics metrics(path);
        const mode_t umask = ::umask(0077);
        metrics.file.armed();
        ::umask(umask);

        struct stat info;
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0644u);
        EXPECT_EQ(readAll(path), metrics.file.text());
        EXPECT_EQ(readAll(victim), QStringLiteral("precious\n"));
        EXPECT_FALSE(QFileInfo::exists(temporary) || QFileInfo(temporary).isSymLink());
    }
}

TEST(MetricsFile, FailingWritesWarnOncePerStreak)
{
    QTemporaryDir dir;
    const QString directory = dir.filePath(QStringLiteral("textfile"));
    Metrics metrics(directory + QStringLiteral("/wdt.prom"));
    LogCapture log;
    const QString warning = QStringLiteral("[WARN ] Файл метрик \"%1/wdt.prom\" не записан (No such file or directory) "
                                           "- кормление продолжается.")
                                .arg(directory);
    EXPECT_FALSE(metrics.file.write());
    metrics.file.armed();
    metrics.steadyMs = MetricsFile::kMinPeriodMs;
    metrics.file.fed();
    EXPECT_EQ(log.lines(), QStringList { warning });

    ASSERT_TRUE(QDir().mkdir(directory));
    EXPECT_TRUE(metrics.file.write());
    ASSERT_TRUE(QDir(directory).removeRecursively());
    EXPECT_FALSE(metrics.file.write());
    EXPECT_EQ(log.lines(), (QStringList { warning, warning }));
}

TEST(MetricsFile, OnlyAnAbsoluteFilePathTurnsTheFileOn)
{
    const struct {
        const char* ini;
        const char* path;
        bool warns;
    } rows[] = {
        { "", "", false },
        { "[Global]\nMetricsFile=\n", "", false },
        { "[Global]\nMetricsFile=wdt.prom\n", "", true },
        { "[Global]\nMetricsFile=/var/lib/prometheus/node-exporter/\n", "", true },
        { "[global]\nmetricsfile=/var/lib/prometheus/node-exporter/wdt-daemon.prom\n",
            "/var/lib/prometheus/node-exporter/wdt-daemon.prom", false },
    };
    for (const auto& row : rows) {
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("wdt.ini"));
        QFile file(ini);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(row.ini);
        file.close();
        QSettings settings(ini, QSettings::IniFormat);
        LogCapture log;
        EXPECT_EQ(readMetricsFilePath(settings), QLatin1String(row.path)) << row.ini;
        EXPECT_EQ(log.count(QStringLiteral("Ignoring \"Global/MetricsFile\" = ")), row.warns ? 1 : 0) << row.ini;
        EXPECT_EQ(makeMetricsFile(settings, {}, nullptr) != nullptr, *row.path != '\0') << row.ini;
    }
}

// The node exporter, started here on a loopback port of its own with only
// its textfile collector, reading the directory the daemon writes into.
class NodeExporter {
public:
    NodeExporter(const QString& directory, const QString& logPath)
    {
        for (const char* name : { "prometheus-node-exporter", "node_exporter" }) {
            if (program.isEmpty())
                program = QStandardPaths::findExecutable(QLatin1String(name));
        }
        if (program.isEmpty())
            return;
        // A free port can be taken by another process before the exporter
        // binds it: it then exits, and another port is tried.
        for (int attempt = 0; attempt < 5 && pid <= 0; ++attempt) {
            port = freePort();
            if (port != 0)
                spawn(directory, logPath);
        }
    }
    ~NodeExporter() { end(); }
    NodeExporter(const NodeExporter&) = delete;
    NodeExporter& operator=(const NodeExporter&) = delete;

    bool found() const { return !program.isEmpty(); }
    bool running() const { return pid > 0; }

    /// The body of GET /metrics, or an empty text.
    QString scrape() const
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return QString();
        const timeval limit { 5, 0 };
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in address = loopback(port);
        QByteArray reply;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const QByteArray request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
            if (::send(fd, request.constData(), request.size(), MSG_NOSIGNAL) == request.size()) {
                char buffer[4096];
                ssize_t got;
                while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
                    reply.append(buffer, static_cast<int>(got));
            }
        }
        ::close(fd);
        const int body = reply.indexOf("\r\n\r\n");
        return reply.startsWith("HTTP/1.") && reply.contains(" 200 ") && body >= 0
            ? QString::fromUtf8(reply.mid(body + 4))
            : QString();
    }

private:
    static sockaddr_in loopback(uint16_t port)
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    static uint16_t freePort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t size = sizeof address;
        uint16_t port = 0;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port = ntohs(address.sin_port);
        if (fd >= 0)
            ::close(fd);
        return port;
    }

    void spawn(const QString& directory, const QString& logPath)
    {
        const QByteArray path = QFile::encodeName(program);
        const QByteArray listen = "--web.listen-address=127.0.0.1:" + QByteArray::number(port);
        const QByteArray textfile = "--collector.textfile.directory=" + QFile::encodeName(directory);
        const QByteArray log = QFile::encodeName(logPath);
        const char* argv[] = { path.constData(), listen.constData(), "--collector.disable-defaults",
            "--collector.textfile", textfile.constData(), nullptr };
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, log.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        // The test process ignores SIGPIPE and may block the stop signals:
        // the exporter starts with neither.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (const int signalNumber : { SIGPIPE, SIGTERM, SIGINT })
            sigaddset(&defaults, signalNumber);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        pid_t child = 0;
        const int result
            = posix_spawn(&child, path.constData(), &files, &attributes, const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&files);
        posix_spawnattr_destroy(&attributes);
        if (result != 0)
            return;
        pid = child;
        // Up once it answers; gone when it exits first.
        for (int i = 0; i < 2000; ++i) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = 0;
                return;
            }
            if (!scrape().isEmpty())
                return;
            usleep(10 * 1000);
        }
        end();
    }

    void end()
    {
        if (pid <= 0)
            return;
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        pid = 0;
    }

    QString program;
    uint16_t port = 0;
    pid_t pid = 0;
};

TEST(MetricsFileDaemon, NodeExporterServesTheDaemonsMetricsThroughItsTextfileCollector)
{
    DaemonHarness harness;
    const QString directory = harness.path(QStringLiteral("textfile"));
    ASSERT_TRUE(QDir().mkdir(directory));
    const QString path = directory + QStringLiteral("/wdt-daemon.prom");
    NodeExporter exporter(directory, harness.path(QStringLiteral("exporter.log")));
    ASSERT_TRUE(exporter.found()) << "prometheus-node-exporter is not installed (Debian package "
                                     "prometheus-node-exporter): the metrics file cannot be checked end to end";
    ASSERT_TRUE(exporter.running()) << "the node exporter did not start: "
                                    << readAll(harness.path(QStringLiteral("exporter.log"))).toStdString();

    harness.writeConfig(QStringLiteral("[Global]\nForceTarvelo=on\nIntervalMs=10\nMetricsFile=%1\n"
                                       "[Vendor_Tarvelo]\nPort=/dev/ttyWDT\n")
                            .arg(path));
    auto board = harness.fake("Tarvelo", "TV-100", "100");
    board->answer = [](uint16_t) { return true; };
    DaemonParts parts;
    parts.makeSerialBoard = [board](const QSettings&) { return board; };
    parts.makeMonitor = [](const QString&, const QString&) {
        auto monitor = std::make_unique<ShownMonitor>();
        monitor->states
            = { channel(Table::Static, "HitWDT", false, 1, 0), channel(Table::Dynamic, "Term0", false, 21.5, 0) };
        return monitor;
    };

    // The exporter serves the samples again in its own form: labels in
    // the order of their names.
    const QStringList running = {
        QStringLiteral("wdt_device_info{code=\"100\",device=\"/dev/ttyWDT\",model=\"TV-100\",vendor=\"Tarvelo\"} 1\n"),
        QStringLiteral("\nwdt_armed 1\n"),
        QStringLiteral("\nwdt_channel_value{channel=\"Term0\",table=\"dynamic\"} 21.5\n"),
        QStringLiteral("\nnode_textfile_scrape_error 0\n"),
    };
    const auto shows = [](const QString& text, const QStringList& wanted) {
        for (const QString& line : wanted) {
            if (!text.contains(line))
                return false;
        }
        return true;
    };
    QString lastScrape;
    auto next = std::chrono::steady_clock::now();
    bool served = false;
    {
        SignalSender sender([&] {
            if (std::chrono::steady_clock::now() < next)
                return false;
            next = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
            lastScrape = exporter.scrape();
            return shows(lastScrape, running);
        });
        // Quiet: the daemon's lines are in its log file.
        EXPECT_EQ(static_cast<InProcessDaemon&>(harness).run(parts, true), 0);
        served = sender.met();
    }
    ASSERT_TRUE(served) << lastScrape.toStdString();

    const QString written = readAll(path);
    EXPECT_TRUE(written.contains(QLatin1String("\nwdt_armed 0\n"))) << written.toStdString();
    const QString stopped = exporter.scrape();
    EXPECT_TRUE(
        shows(stopped, { QStringLiteral("\nwdt_armed 0\n"), QStringLiteral("\nnode_textfile_scrape_error 0\n") }))
        << stopped.toStdString();

    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (!promtool.isEmpty()) {
        const QByteArray command = QFile::encodeName(promtool) + " check metrics < " + QFile::encodeName(path);
        EXPECT_EQ(std::system(command.constData()), 0);
    }
}

} // namespace
