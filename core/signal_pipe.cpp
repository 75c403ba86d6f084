#include "core/signal_pipe.h"

#include <QDebug>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only touch lock-free atomics");

// Read by the handler; -1 once the pipe is gone, so a late signal is dropped
// instead of being written into whatever file reuses the descriptor.
std::atomic<int> signalWriteFd { -1 };

// The first stop signal since the pipe was opened, 0 while none came. A
// storm of stray signals can fill the pipe, and the byte of a SIGTERM that
// lands then is lost: the stop must not be. The handler notes it here
// before it writes the byte, so whichever drain reads the pipe next (it
// holds bytes, the full one included) finds it.
std::atomic<int> pendingStop { 0 };

// One warning per signal number per this many milliseconds: a storm of one
// signal must not flood the log, and the log must not cost the feed its time.
constexpr qint64 kWarningSpacingMs = 1000;

// Bytes taken from the pipe per wake-up of the notifier. A storm that refills
// the pipe as fast as it is read must not hold the loop here: the notifier
// fires again on the next pass, after the feed timer had its turn.
constexpr size_t kDrainChunk = 256;
constexpr int kDrainChunksPerWakeUp = 16;

bool isStopSignal(int signalNumber)
{
    return signalNumber == SIGINT || signalNumber == SIGTERM;
}

extern "C" void noteSignal(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = signalWriteFd.load();
    if (fd >= 0) {
        if (isStopSignal(signalNumber)) {
            int none = 0;
            pendingStop.compare_exchange_strong(none, signalNumber);
        }
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // The pipe does not block: when it is full this byte is lost, which
        // costs at most a warning; a stop is in pendingStop as well.
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

bool installHandler(int signalNumber)
{
    struct sigaction action = {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(signalNumber, &action, nullptr) == 0;
}

qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

SignalPipe::SignalPipe(Clock clock)
    : clock(clock ? std::move(clock) : Clock(monotonicMs))
{
}

SignalPipe::~SignalPipe()
{
    if (signalWriteFd.load() == writeFd)
        signalWriteFd.store(-1);
    notifier.reset();
    if (readFd >= 0)
        ::close(readFd);
    if (writeFd >= 0)
        ::close(writeFd);
}

bool SignalPipe::install()
{
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    readFd = fds[0];
    writeFd = fds[1];
    pendingStop.store(0);
    signalWriteFd.store(writeFd);

    notifier = std::make_unique<QSocketNotifier>(readFd, QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, &SignalPipe::drain);

    return installHandler(SIGINT) && installHandler(SIGTERM);
}

bool SignalPipe::installStraySignals()
{
    if (writeFd < 0)
        return false;
    bool all = true;
    for (const int signalNumber : straySignals())
        all = installHandler(signalNumber) && all;
    return all;
}

std::vector<int> SignalPipe::straySignals()
{
    // SIGQUIT and the fault signals (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT,
    // SIGSYS, SIGTRAP) keep their default action: a core dump of a daemon
    // that cannot go on is worth more than a watchdog fed by a broken one.
    std::vector<int> numbers = { SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGPWR, SIGXCPU, SIGXFSZ };
    // SIGRTMIN is a call: the C library keeps the lowest few for itself.
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber)
        numbers.push_back(signalNumber);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

QByteArray SignalPipe::signalName(int signalNumber)
{
    static const std::pair<int, const char*> names[] = {
        { SIGHUP, "SIGHUP" },
        { SIGINT, "SIGINT" },
        { SIGTERM, "SIGTERM" },
        { SIGUSR1, "SIGUSR1" },
        { SIGUSR2, "SIGUSR2" },
        { SIGALRM, "SIGALRM" },
        { SIGVTALRM, "SIGVTALRM" },
        { SIGPROF, "SIGPROF" },
        { SIGPWR, "SIGPWR" },
        { SIGXCPU, "SIGXCPU" },
        { SIGXFSZ, "SIGXFSZ" },
    };
    for (const auto& [number, name] : names) {
        if (number == signalNumber)
            return name;
    }
    if (signalNumber == SIGRTMAX)
        return "SIGRTMAX";
    if (signalNumber == SIGRTMIN)
        return "SIGRTMIN";
    if (signalNumber > SIGRTMIN && signalNumber < SIGRTMAX)
        return "SIGRTMIN+" + QByteArray::number(signalNumber - SIGRTMIN);
    return QByteArray::number(signalNumber);
}

void SignalPipe::drain()
{
    unsigned char bytes[kDrainChunk];
    for (int chunk = 0; chunk < kDrainChunksPerWakeUp; ++chunk) {
        const ssize_t count = ::read(readFd, bytes, sizeof bytes);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i) {
            // Once a stop is on its way, nothing else is answered.
            if (!isStopSignal(bytes[i]) && !delivered && pendingStop.load() == 0)
                answerStraySignal(bytes[i]);
        }
        if (static_cast<size_t>(count) < sizeof bytes)
            break;
    }
    const int stop = pendingStop.load();
    if (stop != 0 && !delivered) {
        delivered = true;
        emit received(stop);
    }
}

void SignalPipe::answerStraySignal(int signalNumber)
{
    const qint64 now = clock();
    const auto last = lastWarning.find(signalNumber);
    if (last != lastWarning.end() && now - last->second < kWarningSpacingMs)
        return;
    lastWarning[signalNumber] = now;
    qWarning().nospace() << "Сигнал " << signalNumber << " (" << signalName(signalNumber).constData()
                         << ") проигнорирован - кормление продолжается.";
}
