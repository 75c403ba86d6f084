#pragma once

#include <QString>
#include <QtGlobal>

#include <sys/types.h>

class PortIo;
class Privileges;

/**
 * Everything the daemon takes from the machine around it: its files, the
 * port I/O that reaches the Super I/O chips, the privilege calls of
 * start-up, and who must own the test marker for it to count.
 *
 * The default value is the real machine. Tests, benchmarks and the
 * simulator hand in temporary paths, a simulated bus and fake privileges.
 */
struct DaemonEnvironment {
    QString logFile = QStringLiteral("/var/log/wdt-daemon.log");
    QString configFile = QStringLiteral("/etc/wdt.ini");
    QString testFile = QStringLiteral("/tmp/WDT_TEST");
    // The kernel's list of loaded modules, checked for drivers that share the
    // Super I/O configuration ports.
    QString modulesFile = QStringLiteral("/proc/modules");
    PortIo* portIo;
    Privileges* privileges;
    // The marker lies in a world-writable directory: only a file of this
    // owner can stop the feeding.
    uid_t markerOwner = 0;

    DaemonEnvironment();

    /// The real machine: the paths above, the processor's port I/O, the
    /// real getuid() and iopl().
    static DaemonEnvironment system();
};

/**
 * Puts an environment in force for as long as it lives: the path globals
 * and the port layer take its values, and the daemon's other globals
 * (switches, interval, pending request) are kept. On destruction all of
 * them, and the message handler, are put back as they were, so that one
 * in-process run of the daemon leaves nothing behind for the next.
 */
class EnvironmentScope {
public:
    explicit EnvironmentScope(const DaemonEnvironment& environment);
    ~EnvironmentScope();
    EnvironmentScope(const EnvironmentScope&) = delete;
    EnvironmentScope& operator=(const EnvironmentScope&) = delete;

private:
    QString logFile;
    QString configFile;
    QString testFile;
    QString modulesFile;
    int envIntervalMs;
    bool envEnabled;
    bool tarveloEnabled;
    bool envQueryRequest;
    PortIo* portIo;
    QtMessageHandler messageHandler;
};
