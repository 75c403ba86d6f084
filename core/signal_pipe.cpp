#include "core/signal_pipe.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Read by the handler; -1 once the pipe is gone, so a late signal is dropped
// instead of being written into whatever file reuses the descriptor.
std::atomic<int> signalWriteFd { -1 };

extern "C" void noteSignal(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = signalWriteFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds a pending signal; losing this one is fine.
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

SignalPipe::SignalPipe() = default;

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
    signalWriteFd.store(writeFd);

    notifier = std::make_unique<QSocketNotifier>(readFd, QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, &SignalPipe::drain);

    struct sigaction action = {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

void SignalPipe::drain()
{
    unsigned char bytes[64];
    int first = 0;
    for (;;) {
        const ssize_t count = ::read(readFd, bytes, sizeof bytes);
        if (count > 0) {
            if (first == 0)
                first = bytes[0];
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        break;
    }
    if (first != 0 && !delivered) {
        delivered = true;
        emit received(first);
    }
}
