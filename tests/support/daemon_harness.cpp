#include "support/daemon_harness.h"

#include <csignal>
#include <unistd.h>

std::shared_ptr<FakeStrategy> DaemonHarness::fake(
    const std::string& vendor, const std::string& model, const std::string& code)
{
    return std::make_shared<FakeStrategy>(vendor, journal, model, code);
}

SignalSender::SignalSender(std::function<bool()> condition, int signalNumber, std::chrono::milliseconds settle,
    std::chrono::milliseconds deadline)
{
    thread = std::thread([this, condition = std::move(condition), signalNumber, settle, deadline] {
        // Keep the signals off this thread: the daemon's thread takes them.
        blockStopSignals();

        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!finished) {
            if (condition()) {
                conditionMet = true;
                std::this_thread::sleep_for(settle);
                ::kill(::getpid(), signalNumber);
                return;
            }
            if (std::chrono::steady_clock::now() > end) {
                ::kill(::getpid(), SIGTERM);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

SignalSender::~SignalSender()
{
    finished = true;
    thread.join();
}

std::function<bool()> journalHas(const std::shared_ptr<Journal>& journal, const std::string& prefix, int times)
{
    return [journal, prefix, times] { return journal->count(prefix) >= times; };
}
