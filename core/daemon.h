#pragma once

#include "core/environment.h"
#include "monitor/environment_monitor.h"
#include "strategy/vendor_strategy.h"

#include <QSettings>
#include <QString>

#include <functional>
#include <memory>

// The hardware-specific pieces the daemon core is assembled from. The
// production set lives in candidates.cpp; tests hand in fakes. A part left
// empty is simply not there (no such candidate, no monitor).
struct DaemonParts {
    // The Super I/O candidates, created always and probed in this order.
    std::function<std::shared_ptr<IVendorStrategy>()> makeFintek;
    std::function<std::shared_ptr<IVendorStrategy>()> makeIte;
    std::function<std::shared_ptr<IVendorStrategy>()> makeNuvoton;
    // The serial controller board, configured from "Vendor_Tarvelo"; always
    // the last candidate, or the only one when it is forced.
    std::function<std::shared_ptr<IVendorStrategy>(const QSettings& settings)> makeSerialBoard;
    // The board's environment monitor, for the detected model.
    std::function<std::unique_ptr<EnvironmentMonitor>(const QString& model, const QString& configPath)> makeMonitor;
};

/// The whole life of the daemon, from start-up to its exit code: 1 when it
/// cannot run, 0 after an orderly stop on SIGINT or SIGTERM. The
/// environment is in force from entry to return (EnvironmentScope).
int runDaemon(int argc, char** argv, const DaemonParts& parts, const DaemonEnvironment& environment);

/// The orderly stop: the running daemon's supervisor logs and disarms the
/// watchdog (Supervisor::stop), then the event loop is asked to quit. Runs
/// from the event loop, never inside another hardware sequence.
void shutdownHandler(int signalNumber);

/// The longest feed period that a watchdog timeout of at most 255 s still
/// covers with a second to spare: a feed that comes a little late (a busy
/// machine, a slow serial exchange) must not reset the machine.
constexpr int kLongestFeedIntervalMs = 254000;

/// The watchdog timeout in seconds for a feed period: period / 500 + 1,
/// saturated at 255 instead of wrapping around.
uint8_t timeoutForInterval(int intervalMs);
