#pragma once

#include "core/daemon.h"
#include "sim/fake_platform.h"

#include <QStringList>
#include <QTemporaryDir>

#include <optional>

/// Blocks SIGINT and SIGTERM on the calling thread. A helper thread of a
/// process that runs the daemon calls it first, so that a stop signal is
/// taken by the daemon's thread, as in the real process.
void blockStopSignals();

/// Sends standard output to another descriptor while it lives, to /dev/null
/// when none is given; the daemon's lines still reach its log file.
class RedirectedStdout {
public:
    explicit RedirectedStdout(int target = -1);
    ~RedirectedStdout();
    RedirectedStdout(const RedirectedStdout&) = delete;
    RedirectedStdout& operator=(const RedirectedStdout&) = delete;

private:
    int saved = -1;
};

// The whole daemon, run in this process against a simulated machine. The
// configuration, log, test marker and module list lie in a temporary
// directory (or where the environment is pointed), the port I/O and the
// privileges are a fake (root with I/O privilege, an empty bus) or a
// simulated bus, and the test marker counts when this process's user owns
// it. The environment is in force, globals included, for the lifetime of
// the object, so that code called directly sees the same paths as the
// daemon; afterwards everything is as it was. Qt allows one application
// object per process at a time: run one daemon after the other.
class InProcessDaemon {
public:
    InProcessDaemon();
    ~InProcessDaemon();
    InProcessDaemon(const InProcessDaemon&) = delete;
    InProcessDaemon& operator=(const InProcessDaemon&) = delete;

    const DaemonEnvironment& environment() const { return current; }
    /// Puts another environment in force, from now on.
    void setEnvironment(const DaemonEnvironment& environment);
    /// The daemon's port I/O and privileges become @p bus (not owned).
    void useBus(FakePlatform& bus);

    /// A file name in the temporary directory.
    QString path(const QString& name) const;
    void writeConfig(const QString& ini) const;

    /// Runs the daemon to its exit code. With @p quiet its standard output
    /// goes to /dev/null.
    int run(const DaemonParts& parts, bool quiet = false, const char* programName = "wdt-daemon");

    /// The lines of the log file, as written.
    QStringList logLines() const;
    /// The same without the time stamp: "[INFO ] text".
    QStringList messages() const;

    /// The port layer and privileges in use unless useBus() chose others.
    FakePlatform fakePlatform;

private:
    QTemporaryDir dir;
    DaemonEnvironment current;
    std::optional<EnvironmentScope> scope;
};
