#pragma once

#include "core/daemon.h"
#include "sim/in_process_daemon.h"
#include "support/fake_strategy.h"
#include "support/qt_printers.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

// The in-process daemon with the fakes of the tests: fake strategies that
// share one journal of what they were asked to do.
class DaemonHarness : public InProcessDaemon {
public:
    int run(const DaemonParts& parts) { return InProcessDaemon::run(parts); }

    /// A fake strategy sharing this harness's journal.
    std::shared_ptr<FakeStrategy> fake(
        const std::string& vendor, const std::string& model = "FakeModel", const std::string& code = "0xfa4e");

    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
};

// Candidates Fintek, ITE, Nuvoton and the serial board, all fakes of one
// harness that answer nowhere until a test says otherwise; their creation and
// the monitor's are journaled too.
struct FakeCandidates {
    explicit FakeCandidates(DaemonHarness& harness);
    DaemonParts parts();

    std::shared_ptr<FakeStrategy> fintek, ite, nuvoton, board;
    std::shared_ptr<Journal> journal;
};

// Sends a real signal to the whole process, from a thread of its own, as
// soon as a condition holds. If it never holds within the deadline, SIGTERM
// is sent anyway so that a broken run still ends; met() then says false.
// With a settle time the daemon runs on that long after the condition held,
// for tests that show that something does not happen any more.
class SignalSender {
public:
    explicit SignalSender(std::function<bool()> condition, int signalNumber = 15,
        std::chrono::milliseconds settle = std::chrono::milliseconds(0),
        std::chrono::milliseconds deadline = std::chrono::seconds(20));
    ~SignalSender();

    bool met() const { return conditionMet; }

private:
    std::atomic<bool> conditionMet { false };
    std::atomic<bool> finished { false };
    std::thread thread;
};

/// A predicate over the journal: at least @p times events starting with @p prefix.
std::function<bool()> journalHas(const std::shared_ptr<Journal>& journal, const std::string& prefix, int times = 1);
