#pragma once

#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class QSocketNotifier;

// Carries signals from their asynchronous arrival into the event loop: the
// handler only writes the signal number into a pipe, and the notifier on its
// other end handles it between two timer ticks, so neither the stop nor its
// answer to any other signal cuts into a running hardware sequence.
//
// SIGINT and SIGTERM stop the daemon. The stray signals are those whose
// default action would end the process with the watchdog armed although
// nobody meant to stop it: a terminal or ssh hang-up (SIGHUP), a reload
// reflex, timers and limits of some other tool, the real-time signals. They
// are answered with a warning and feeding goes on.
class SignalPipe : public QObject {
    Q_OBJECT
public:
    /// Monotonic milliseconds, for the rate of the warnings.
    using Clock = std::function<qint64()>;

    /// @p clock defaults to the monotonic clock.
    explicit SignalPipe(Clock clock = Clock());
    ~SignalPipe() override;

    /// Opens the pipe and installs the handler for SIGINT and SIGTERM.
    bool install();
    /// After install(): installs the handler also for the stray signals.
    bool installStraySignals();

    /// The stray signals, in ascending order, as this C library numbers
    /// them (the real-time range included).
    static std::vector<int> straySignals();
    /// "SIGHUP", "SIGRTMIN+3"; the number for any other signal.
    static QByteArray signalName(int signalNumber);

signals:
    /// The first stop signal noted; later ones are dropped.
    void received(int signalNumber);

private:
    void drain();
    void answerStraySignal(int signalNumber);

    Clock clock;
    int readFd = -1;
    int writeFd = -1;
    bool delivered = false;
    // Signal number -> when its last warning was logged.
    std::map<int, qint64> lastWarning;
    std::unique_ptr<QSocketNotifier> notifier;
};
