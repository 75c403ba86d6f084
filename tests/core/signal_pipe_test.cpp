#include "core/signal_pipe.h"
#include "support/log_capture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>

namespace {

// The signals whose default action would end the daemon with the watchdog
// armed, besides the real-time range; their names come from the C library.
const int kStraySignals[] = { SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGPWR, SIGXCPU, SIGXFSZ };

QString warningFor(int signalNumber, const char* name)
{
    return QStringLiteral("[WARN ] Сигнал %1 (%2) проигнорирован - кормление продолжается.")
        .arg(signalNumber)
        .arg(QLatin1String(name));
}

// The pipe in an event loop of its own, on a clock that moves only when told.
struct PipeRun {
    int argc = 1;
    char name[16] = "signal_pipe";
    char* argv[2] = { name, nullptr };
    QCoreApplication app { argc, argv };
    qint64 now = 1'000'000;
    SignalPipe pipe { [this] { return now; } };
    std::vector<int> stops;
    LogCapture log;

    PipeRun()
    {
        QObject::connect(&pipe, &SignalPipe::received, [this](int signalNumber) { stops.push_back(signalNumber); });
        EXPECT_TRUE(pipe.install());
        EXPECT_TRUE(pipe.installStraySignals());
    }

    // Runs the loop until the condition holds, within a generous bound.
    bool until(const std::function<bool()>& condition)
    {
        const QDeadlineTimer deadline(10000);
        while (!condition() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        return condition();
    }

    // The pipe is read in order: once the first warning for a fresh signal
    // is there, everything raised before it has been answered.
    bool answeredSoFar(int freshSignal)
    {
        ::raise(freshSignal);
        const QString line = warningFor(freshSignal, SignalPipe::signalName(freshSignal).constData());
        return until([&] { return log.lines().contains(line); });
    }
};

TEST(SignalPipe, EveryStraySignalIsAnsweredWithOneWarningAndStopsNothing)
{
    PipeRun run;
    std::vector<std::pair<int, QByteArray>> expected;
    for (const int number : kStraySignals)
        expected.emplace_back(number, "SIG" + QByteArray(::sigabbrev_np(number)));
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) {
        const QByteArray name = number == SIGRTMIN ? "SIGRTMIN"
            : number == SIGRTMAX                   ? "SIGRTMAX"
                                                   : "SIGRTMIN+" + QByteArray::number(number - SIGRTMIN);
        expected.emplace_back(number, name);
    }
    for (const auto& [number, name] : expected) {
        ::raise(number);
        ::raise(number);
        const QString line = warningFor(number, name.constData());
        EXPECT_TRUE(run.until([&] { return run.log.count(line) > 0; })) << name.constData();
    }
    // A stop signal last: the pipe is in order, so all the above were read.
    ::raise(SIGTERM);
    ASSERT_TRUE(run.until([&] { return !run.stops.empty(); }));
    EXPECT_EQ(run.stops, std::vector<int> { SIGTERM });
    EXPECT_EQ(run.log.lines().size(), static_cast<int>(expected.size())) << run.log.lines().join('\n').toStdString();

    std::vector<int> numbers;
    for (const auto& row : expected)
        numbers.push_back(row.first);
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(SignalPipe::straySignals(), numbers);
}

TEST(SignalPipe, WarningsOfOneSignalAreSpacedOneSecondApartAndCountedPerSignal)
{
    PipeRun run;
    const QString hangUp = warningFor(SIGHUP, "SIGHUP");
    const QString user1 = warningFor(SIGUSR1, "SIGUSR1");
    int fresh = SIGRTMIN;
    struct Step {
        qint64 advanceMs;
        int raises;
        int hangUpLines;
    };
    const Step steps[] = {
        { 0, 50, 1 }, // a storm: one line
        { 999, 5, 1 }, // still inside the second
        { 1, 5, 2 }, // one second after the first line
        { 500, 1, 2 },
        { 5000, 3, 3 },
    };
    for (const Step& step : steps) {
        run.now += step.advanceMs;
        for (int i = 0; i < step.raises; ++i)
            ::raise(SIGHUP);
        if (step.advanceMs == 0)
            ::raise(SIGUSR1); // another signal within the same second
        ASSERT_TRUE(run.answeredSoFar(fresh++));
        EXPECT_EQ(run.log.count(hangUp), step.hangUpLines) << "after advancing " << step.advanceMs << " ms";
    }
    EXPECT_EQ(run.log.count(user1), 1);
    EXPECT_TRUE(run.stops.empty());
}

TEST(SignalPipe, StopArrivingWhileAStormFilledThePipeStillStops)
{
    PipeRun run;
    // Far more than a pipe holds (64 KiB by default): later bytes are lost.
    for (int i = 0; i < 200000; ++i)
        ::raise(SIGHUP);
    ::raise(SIGTERM);
    ::raise(SIGINT);
    ASSERT_TRUE(run.until([&] { return !run.stops.empty(); }));
    EXPECT_EQ(run.stops, std::vector<int> { SIGTERM });
    // The stop was noted before the loop first read the pipe: the storm
    // before it is not answered any more.
    EXPECT_EQ(run.log.count(warningFor(SIGHUP, "SIGHUP")), 0);

    // Once stopping, later signals are neither delivered nor answered. The
    // handler has written their bytes when raise() returns.
    ::raise(SIGUSR2);
    ::raise(SIGINT);
    for (int pass = 0; pass < 5; ++pass)
        QCoreApplication::processEvents();
    EXPECT_EQ(run.stops.size(), 1u);
    EXPECT_EQ(run.log.count(QStringLiteral("SIGUSR2")), 0);
}

} // namespace
