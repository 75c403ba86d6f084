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

/// Where standard output can be sent besides a descriptor or a file.
enum class StdoutSink {
    Null, // /dev/null
    // A pipe whose reader went away, like a log collector that died: every
    // write fails with EPIPE and raises SIGPIPE, which the daemon ignores.
    DeadReader,
    // Descriptor 1 closed, as when the daemon is started without it.
    Closed,
};

/// Sends standard output elsewhere while it lives, then back to where it
/// went before; the daemon's lines still reach its log file. Redirections
/// nest: the inner one ends first.
class RedirectedStdout {
public:
    explicit RedirectedStdout(StdoutSink sink = StdoutSink::Null);
    /// To a copy of @p target; the caller keeps and closes @p target.
    explicit RedirectedStdout(int target);
    /// To the file @p path, created or emptied.
    explicit RedirectedStdout(const QString& path);
    ~RedirectedStdout();
    RedirectedStdout(const RedirectedStdout&) = delete;
    RedirectedStdout& operator=(const RedirectedStdout&) = delete;

    /// False when standard output could not be redirected; it is unchanged then.
    bool ok() const { return redirected; }

private:
    void saveAndPoint(int target);

    int saved = -1;
    bool redirected = false;
};

/// The real Super I/O drivers, Fintek, ITE and Nuvoton, without the serial
/// board: a run that was not given a serial line must not open one.
DaemonParts superIoParts();

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
