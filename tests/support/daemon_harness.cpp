#include "support/daemon_harness.h"

#include "core/globals.h"

#include <csignal>
#include <unistd.h>

std::shared_ptr<FakeStrategy> DaemonHarness::fake(
    const std::string& vendor, const std::string& model, const std::string& code)
{
    return std::make_shared<FakeStrategy>(vendor, journal, model, code);
}

FakeCandidates::FakeCandidates(DaemonHarness& harness)
    : fintek(harness.fake("Fintek", "F81866", "0x1010"))
    , ite(harness.fake("Ite", "IT8728F", "0x8728"))
    , nuvoton(harness.fake("Nuvoton/Winbond", "NCT6776", "0xc330"))
    , board(harness.fake("Tarvelo", "TV-100", "100"))
    , journal(harness.journal)
{
}

DaemonParts FakeCandidates::parts()
{
    DaemonParts parts;
    const auto created = [this](const char* name, std::shared_ptr<FakeStrategy> strategy) {
        return [this, name, strategy]() -> std::shared_ptr<IVendorStrategy> {
            journal->add(std::string("create ") + name);
            return strategy;
        };
    };
    parts.makeFintek = created("Fintek", fintek);
    parts.makeIte = created("Ite", ite);
    parts.makeNuvoton = created("Nuvoton", nuvoton);
    parts.makeSerialBoard = [make = created("Tarvelo", board)](const QSettings&) { return make(); };
    parts.makeMonitor = [this](const QString& model, const QString& path) {
        journal->add("monitor " + model.toStdString() + " " + (path == CONFIG_FILE ? "config" : "?"));
        return std::make_unique<FakeMonitor>(journal);
    };
    return parts;
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
