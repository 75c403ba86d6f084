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
using State = EnvironmentMonitor::ChannelState;

// A monitor whose channels show what a test says; a reading marks one read.
class ShownMonitor : public EnvironmentMonitor {
public:
    int channelCount(Table table) const override
    {
        return static_cast<int>(
            std::count_if(states.begin(), states.end(), [table](const State& s) { return s.table == table; }));
    }
    void readChannel(Table table, int index) override
    {
        for (auto& state : states)
            state.read |= state.table == table && index-- == 0;
    }
    int readingWorstCaseMs() const override { return 0; }
    std::vector<State> channelStates() const override { return states; }

    std::vector<State> states;
};

State channel(Table table, const char* name, bool read, double value, int failures)
{
    return { table, QLatin1String(name), read, value, failures };
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

// A feed writes only 15 s after the last write of any kind; arming, a sweep
// and a change of state write at once.
TEST(MetricsFile, FeedsWriteAtMostEveryFifteenSecondsStateChangesAtOnce)
{
    const struct {
        void (SupervisorObserver::*step)();
        qint64 atMs;
        const char* shows; // null: nothing written
    } steps[] = {
        { &SupervisorObserver::armed, 0, "\nwdt_feeds_total 0\n" },
        { &SupervisorObserver::fed, 3000, nullptr },
        { &SupervisorObserver::fed, 14999, nullptr },
        { &SupervisorObserver::fed, 15000, "\nwdt_feeds_total 3\n" },
        { &SupervisorObserver::sweepEnded, 16000, "\nwdt_feeds_total 3\n" },
        { &SupervisorObserver::fed, 30999, nullptr },
        { &SupervisorObserver::fed, 31000, "\nwdt_feeds_total 5\n" },
        { &SupervisorObserver::fed, 31001, nullptr },
        { &SupervisorObserver::feedingStopped, 31002, "\nwdt_test_mode 1\n" },
        { &SupervisorObserver::stopped, 31003, "\nwdt_armed 0\n" },
    };
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("wdt.prom"));
    Metrics metrics(path);
    for (const auto& row : steps) {
        QFile::remove(path);
        metrics.steadyMs = row.atMs;
        (metrics.file.*row.step)();
        const QString text = readAll(path);
        EXPECT_EQ(QFile::exists(path), row.shows != nullptr) << row.atMs << " ms";
        EXPECT_TRUE(!row.shows || text.contains(QLatin1String(row.shows))) << row.atMs << " ms: " << text.toStdString();
        // A time of 0 would read as a feed missed for decades.
        EXPECT_TRUE(row.atMs > 0 || !text.contains(QLatin1String("\nwdt_last_feed_timestamp_seconds ")));
    }
}

// A failed health check is not test mode, and the families of the health
// checks and of the previous run appear only where they say something.
TEST(MetricsFile, AFailedHealthCheckAndThePreviousRun)
{
    const struct {
        bool healthChecked;
        const char* previousRun;
        std::vector<const char*> shown;
        std::vector<const char*> absent;
    } rows[] = {
        { false, "", {}, { "wdt_health_check_failed", "wdt_previous_run_ending" } },
        { true, "check-failed",
            { "\nwdt_health_check_failed 1\n", "\nwdt_test_mode 0\n",
                "\nwdt_previous_run_ending{ending=\"check-failed\"} 1\n" },
            {} },
    };
    for (const auto& row : rows) {
        QTemporaryDir dir;
        Metrics metrics(dir.filePath(QStringLiteral("wdt.prom")));
        metrics.file.setHealthChecked(row.healthChecked);
        metrics.file.setPreviousRun(QLatin1String(row.previousRun));
        metrics.file.armed();
        metrics.file.feedGateClosed();
        const QString text = readAll(dir.filePath(QStringLiteral("wdt.prom")));
        for (const char* shown : row.shown)
            EXPECT_TRUE(text.contains(QLatin1String(shown))) << shown << "\n" << text.toStdString();
        for (const char* absent : row.absent)
            EXPECT_FALSE(text.contains(QLatin1String(absent))) << absent;
    }
}

// What lies at the file's name or at its temporary's is replaced, never
// opened or followed: a symlink planted at the temporary name would let the
// daemon overwrite any file, and a FIFO at the target would hold its thread.
TEST(MetricsFile, WhatLiesAtTheTargetOrTheTemporaryIsReplacedNotFollowed)
{
    enum Planted { Nothing, SymlinkAtTemporary, StaleTemporary, FifoAtTarget, SymlinkAtTarget };
    for (const Planted planted : { Nothing, SymlinkAtTemporary, StaleTemporary, FifoAtTarget, SymlinkAtTarget }) {
        SCOPED_TRACE(planted);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("wdt.prom"));
        const QString temporary = dir.filePath(QStringLiteral(".wdt.prom.tmp"));
        const QString victim = dir.filePath(QStringLiteral("victim"));
        QFile victimFile(victim);
        ASSERT_TRUE(victimFile.open(QIODevice::WriteOnly) && victimFile.write("precious\n") == 9);
        victimFile.close();
        const bool plantedOk = planted == Nothing || (planted == SymlinkAtTemporary && QFile::link(victim, temporary))
            || (planted == StaleTemporary && QFile::copy(victim, temporary))
            || (planted == FifoAtTarget && ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0)
            || (planted == SymlinkAtTarget && QFile::link(victim, path));
        ASSERT_TRUE(plantedOk);

        Metrics metrics(path);
        const mode_t umask = ::umask(0077);
        metrics.file.armed();
        ::umask(umask);

        struct stat info;
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        // Readable by the exporter's own user, whatever the daemon's umask.
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
        { "[global]\nmetricsfile=/var/lib/wdt.prom\n", "/var/lib/wdt.prom", false },
        // Written, but passed over by the node exporter.
        { "[Global]\nMetricsFile=/var/lib/wdt.txt\n", "/var/lib/wdt.txt", true },
    };
    for (const auto& row : rows) {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("wdt.ini")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(row.ini);
        file.close();
        QSettings settings(file.fileName(), QSettings::IniFormat);
        LogCapture log;
        EXPECT_EQ(readMetricsFilePath(settings), QLatin1String(row.path)) << row.ini;
        EXPECT_EQ(log.count(QStringLiteral("[WARN ] ")), row.warns ? 1 : 0) << row.ini;
        EXPECT_EQ(makeMetricsFile(settings, {}, nullptr) != nullptr, *row.path != '\0') << row.ini;
    }
}

uint16_t freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address { AF_INET, 0, { htonl(INADDR_LOOPBACK) }, {} };
    socklen_t size = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    ::close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

/// The body of GET /metrics on the loopback @p port, or an empty text.
QString scrape(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit { 5, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address { AF_INET, htons(port), { htonl(INADDR_LOOPBACK) }, {} };
    QByteArray reply;
    const QByteArray request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::send(fd, request.constData(), request.size(), MSG_NOSIGNAL) == request.size()) {
        char buffer[4096];
        for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            reply.append(buffer, static_cast<int>(got));
    }
    ::close(fd);
    const int body = reply.indexOf("\r\n\r\n");
    return reply.startsWith("HTTP/1.1 200 ") || reply.startsWith("HTTP/1.0 200 ")
        ? QString::fromUtf8(reply.mid(body + 4))
        : QString();
}

// The node exporter, started here on a free loopback port with only its
// textfile collector, reading the directory the daemon writes into. A port
// taken by another process before the exporter binds it makes it exit: then
// another port is tried.
struct NodeExporter {
    NodeExporter(const QString& directory, const QString& logPath)
    {
        const QByteArray program = QFile::encodeName(QStandardPaths::findExecutable("prometheus-node-exporter"));
        found = !program.isEmpty();
        const QByteArray textfile = "--collector.textfile.directory=" + QFile::encodeName(directory);
        for (int attempt = 0; found && attempt < 5 && pid == 0; ++attempt) {
            port = freeLoopbackPort();
            const QByteArray listen = "--web.listen-address=127.0.0.1:" + QByteArray::number(port);
            const char* argv[] = { program.constData(), listen.constData(), "--collector.disable-defaults",
                "--collector.textfile", textfile.constData(), nullptr };
            posix_spawn_file_actions_t files;
            posix_spawn_file_actions_init(&files);
            posix_spawn_file_actions_addopen(
                &files, 2, QFile::encodeName(logPath), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (port == 0 || posix_spawn(&pid, program, &files, nullptr, const_cast<char**>(argv), environ) != 0)
                pid = 0;
            posix_spawn_file_actions_destroy(&files);
            // Up once it answers; gone when it exits first.
            for (int i = 0; pid > 0 && scrape(port).isEmpty(); ++i) {
                if (i == 2000 || ::waitpid(pid, nullptr, WNOHANG) == pid)
                    end();
                usleep(10 * 1000);
            }
        }
    }
    ~NodeExporter() { end(); }
    void end()
    {
        // Nothing of it is worth an orderly stop.
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, nullptr, 0);
        pid = 0;
    }

    bool found = false;
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
    ASSERT_TRUE(exporter.found) << "prometheus-node-exporter is not installed (Debian package "
                                   "prometheus-node-exporter): the metrics cannot be checked end to end";
    ASSERT_GT(exporter.pid, 0) << "the node exporter did not start: "
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

    // The exporter serves the samples in its own form: labels in the order
    // of their names. A scrape error means it could not parse the file.
    const auto shows = [](const QString& text, const QStringList& wanted) {
        return std::all_of(wanted.begin(), wanted.end(), [&text](const QString& line) { return text.contains(line); });
    };
    const QStringList running = {
        QStringLiteral("wdt_device_info{code=\"100\",device=\"/dev/ttyWDT\",model=\"TV-100\",vendor=\"Tarvelo\"} 1\n"),
        QStringLiteral("\nwdt_armed 1\n"),
        QStringLiteral("\nwdt_channel_value{channel=\"Term0\",table=\"dynamic\"} 21.5\n"),
        QStringLiteral("\nnode_textfile_scrape_error 0\n"),
    };
    QString lastScrape;
    auto next = std::chrono::steady_clock::now();
    bool served = false;
    {
        SignalSender sender([&] {
            if (std::chrono::steady_clock::now() < next)
                return false;
            next = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
            lastScrape = scrape(exporter.port);
            return shows(lastScrape, running);
        });
        // Quiet: the daemon's lines are in its log file.
        EXPECT_EQ(static_cast<InProcessDaemon&>(harness).run(parts, true), 0);
        served = sender.met();
    }
    ASSERT_TRUE(served) << lastScrape.toStdString();
    const QString stopped = scrape(exporter.port);
    EXPECT_TRUE(
        shows(stopped, { QStringLiteral("\nwdt_armed 0\n"), QStringLiteral("\nnode_textfile_scrape_error 0\n") }))
        << stopped.toStdString();

    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (!promtool.isEmpty()) {
        EXPECT_EQ(std::system(QFile::encodeName(promtool + QStringLiteral(" check metrics < ") + path)), 0);
    }
}

} // namespace
