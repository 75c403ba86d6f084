#include "core/service_notifier.h"
#include "support/daemon_harness.h"
#include "support/log_capture.h"
#include "support/test_application.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Messages = std::vector<std::string>;

// A notification socket as systemd opens one for a unit: datagrams on a
// unix socket in a directory of its own, one message each.
class NotifySocket {
public:
    NotifySocket()
        : fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, path().c_str(), sizeof address.sun_path);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { ::close(fd); }

    std::string path() const { return dir.filePath(QStringLiteral("notify")).toStdString(); }
    bool ok() const { return bound; }
    /// Every message waiting, oldest first.
    Messages take()
    {
        Messages messages;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) >= 0;)
            messages.emplace_back(buffer, static_cast<size_t>(n));
        return messages;
    }

private:
    QTemporaryDir dir;
    const int fd;
    bool bound = false;
};

// An environment variable set (or, for nullopt, unset) while it lives.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value)
        : name(name)
        , previous(std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt)
    {
        set(value);
    }
    ~ScopedEnv() { set(previous); }

private:
    void set(const std::optional<std::string>& value) { value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name); }
    const char* const name;
    const std::optional<std::string> previous;
};

const ServiceNotifier::Device kFintek { QStringLiteral("Fintek"), QStringLiteral("F81866"), QStringLiteral("0x1010"),
    ServiceNotifier::superIoPlace(0x2E), 3000, 7 };
const std::string kFintekText = "Fintek F81866 (0x1010) at port 0x2E, feed every 3000 ms, timeout 7 s";

int count(const Messages& messages, const std::string& wanted)
{
    return static_cast<int>(std::count(messages.begin(), messages.end(), wanted));
}

// Turns the event loop until @p socket has brought @p wanted copies of
// @p message, or a generous bound passed; returns what came.
Messages collectUntil(NotifySocket& socket, const std::string& message, int wanted)
{
    Messages messages;
    QElapsedTimer bound;
    bound.start();
    while (count(messages, message) < wanted && bound.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        for (auto& m : socket.take())
            messages.push_back(std::move(m));
    }
    return messages;
}

TEST(ServiceNotifier, EachStepReachesTheNotificationSocket)
{
    NotifySocket socket;
    ASSERT_TRUE(socket.ok());
    const ScopedEnv notify("NOTIFY_SOCKET", socket.path());
    const LogCapture log;
    ServiceNotifier notifier(kFintek);
    SupervisorObserver& observer = notifier;

    const struct {
        void (SupervisorObserver::*step)();
        Messages expected;
    } rows[] = {
        { &SupervisorObserver::armed, { "STATUS=Armed, taking the start-up readings: " + kFintekText } },
        { &SupervisorObserver::startupEnded, { "READY=1\nSTATUS=Supervising " + kFintekText } },
        // Feeds and sweeps would only repeat the status.
        { &SupervisorObserver::fed, {} },
        { &SupervisorObserver::sweepEnded, {} },
        { &SupervisorObserver::feedingStopped,
            { "STATUS=Test mode: feeding stopped, the watchdog resets the machine within 7 s: " + kFintekText } },
        { &SupervisorObserver::feedGateClosed,
            { "STATUS=A health check failed: feeding stopped, the watchdog resets the machine within 7 s: "
                + kFintekText } },
        { &SupervisorObserver::stopped,
            { "STOPPING=1\nSTATUS=Stopping, the watchdog's stop was sent: " + kFintekText } },
    };
    for (const auto& row : rows) {
        (observer.*row.step)();
        EXPECT_EQ(socket.take(), row.expected);
    }
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST(ServiceNotifier, TheStatusOfABoardIsOneLineWithItsSerialDevice)
{
    NotifySocket socket;
    ASSERT_TRUE(socket.ok());
    const ScopedEnv notify("NOTIFY_SOCKET", socket.path());
    // The model comes from the board's reply: a line break in it must not
    // start another assignment of the message.
    ServiceNotifier notifier({ QStringLiteral("Tarvelo"), QStringLiteral("TV\n100\rREADY=1"), QStringLiteral("100"),
        QStringLiteral("/dev/ttyUSB1"), 1000, 3 });
    notifier.startupEnded();
    EXPECT_EQ(socket.take(),
        Messages { "READY=1\nSTATUS=Supervising Tarvelo TV 100 READY=1 (100) at /dev/ttyUSB1, feed every 1000 ms, "
                   "timeout 3 s" });
}

TEST(ServiceNotifier, OutsideSystemdNothingIsLogged)
{
    const ScopedEnv notify("NOTIFY_SOCKET", std::nullopt);
    const LogCapture log;
    ServiceNotifier notifier(kFintek);
    notifier.armed();
    notifier.startupEnded();
    notifier.feedingStopped();
    notifier.stopped();
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST(ServiceNotifier, ASocketThatRefusesCostsOneWarning)
{
    QTemporaryDir dir;
    const ScopedEnv notify("NOTIFY_SOCKET", dir.filePath(QStringLiteral("gone")).toStdString());
    const LogCapture log;
    ServiceNotifier notifier(kFintek);
    notifier.armed();
    notifier.startupEnded();
    notifier.stopped();
    ASSERT_EQ(log.lines().size(), 1) << log.lines().join('\n').toStdString();
    EXPECT_TRUE(log.lines().first().startsWith(QStringLiteral("[WARN ] Не удалось отправить уведомление systemd:")));
}

TEST(ServiceNotifier, KeepAliveAtHalfThePeriodSystemdAskedFor)
{
    const TestApplication app;
    NotifySocket socket;
    ASSERT_TRUE(socket.ok());
    const std::string self = std::to_string(::getpid());
    const struct {
        std::optional<std::string> usec;
        std::optional<std::string> pid;
        bool underSystemd;
        int expectedMs;
    } rows[] = {
        { "20000", self, true, 10 },
        { "20000", std::nullopt, true, 10 },
        { "90000000", self, true, 45000 },
        // Below two milliseconds: as often as a timer can, never a period of 0.
        { "1000", self, true, 1 },
        // For another process (a parent that did not clear it), or none.
        { "20000", std::to_string(::getpid() + 1), true, 0 },
        { std::nullopt, self, true, 0 },
        { "0", self, true, 0 },
        { "soon", self, true, 0 },
        // Left behind outside systemd: nobody would hear it.
        { "20000", self, false, 0 },
    };
    for (const auto& row : rows) {
        const ScopedEnv notify("NOTIFY_SOCKET", row.underSystemd ? std::optional(socket.path()) : std::nullopt);
        const ScopedEnv usec("WATCHDOG_USEC", row.usec);
        const ScopedEnv pid("WATCHDOG_PID", row.pid);
        const ServiceNotifier notifier(kFintek);
        EXPECT_EQ(notifier.keepAliveMs(), row.expectedMs) << row.usec.value_or("-") << " " << row.pid.value_or("-");
    }
}

TEST(ServiceNotifier, KeepAliveGoesOnAfterTheFeedingStoppedUntilTheStop)
{
    const TestApplication app;
    NotifySocket socket;
    ASSERT_TRUE(socket.ok());
    const ScopedEnv notify("NOTIFY_SOCKET", socket.path());
    const ScopedEnv usec("WATCHDOG_USEC", "20000");
    const ScopedEnv pid("WATCHDOG_PID", std::to_string(::getpid()));
    ServiceNotifier notifier(kFintek);
    notifier.armed();
    notifier.startupEnded();
    EXPECT_EQ(count(collectUntil(socket, "WATCHDOG=1", 2), "WATCHDOG=1"), 2);

    notifier.feedingStopped();
    const Messages afterTestMode = collectUntil(socket, "WATCHDOG=1", 3);
    ASSERT_FALSE(afterTestMode.empty());
    EXPECT_EQ(afterTestMode.front().rfind("STATUS=Test mode: ", 0), 0u);
    EXPECT_EQ(count(afterTestMode, "WATCHDOG=1"), 3);

    notifier.stopped();
    EXPECT_EQ(notifier.keepAliveMs(), 0);
}

// The whole daemon under a notification socket: the serial board with one
// start-up reading, stopped by SIGTERM once fed.
TEST(ServiceNotifierDaemon, ReadyAfterTheStartupStatusNamesTheDeviceStoppingAtTheSignal)
{
    NotifySocket socket;
    ASSERT_TRUE(socket.ok());
    const ScopedEnv notify("NOTIFY_SOCKET", socket.path());
    const ScopedEnv usec("WATCHDOG_USEC", std::nullopt);
    DaemonHarness harness;
    harness.writeConfig(QStringLiteral("[Global]\nIntervalMs=10\n[Vendor_Tarvelo]\nPort=/dev/ttyFAKE9\n"));
    auto board = harness.fake("Tarvelo", "TV-100", "100");
    board->answer = [](uint16_t) { return true; };
    DaemonParts parts;
    parts.makeSerialBoard = [&](const QSettings&) { return board; };
    parts.makeMonitor = [&](const QString&, const QString&) { return std::make_unique<FakeMonitor>(harness.journal); };

    std::mutex mutex;
    Messages messages;
    // What the log and the hardware had seen when READY=1 came.
    QStringList logAtReady;
    int readingsAtReady = -1;
    {
        SignalSender stop([&] {
            const std::lock_guard<std::mutex> lock(mutex);
            for (auto& m : socket.take()) {
                if (m.rfind("READY=1", 0) == 0) {
                    logAtReady = harness.messages();
                    readingsAtReady = harness.journal->count("static") + harness.journal->count("dynamic");
                }
                messages.push_back(std::move(m));
            }
            return readingsAtReady >= 0 && harness.journal->count("fed") >= 1;
        });
        EXPECT_EQ(harness.run(parts), 0);
        EXPECT_TRUE(stop.met());
    }
    for (auto& m : socket.take())
        messages.push_back(std::move(m));

    const std::string device = "Tarvelo TV-100 (100) at /dev/ttyFAKE9, feed every 10 ms, timeout 1 s";
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "STATUS=Armed, taking the start-up readings: " + device);
    EXPECT_EQ(messages[1], "READY=1\nSTATUS=Supervising " + device);
    EXPECT_EQ(messages[2], "STOPPING=1\nSTATUS=Stopping, the watchdog's stop was sent: " + device);
    EXPECT_EQ(readingsAtReady, 2);
    EXPECT_TRUE(logAtReady.contains(QStringLiteral("[INFO ] *****************")));
    EXPECT_EQ(harness.journal->events().back(), "stop Tarvelo 0x2e");
}

} // namespace
