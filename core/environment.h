#pragma once

#include "core/globals.h"

#include <QString>
#include <QStringList>
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
    // What the health checks read of memory and load.
    QString meminfoFile = QStringLiteral("/proc/meminfo");
    QString loadavgFile = QStringLiteral("/proc/loadavg");
    // Locked for the daemon's whole life and holding its pid: one daemon per
    // machine.
    QString pidFile = QStringLiteral("/run/wdt-daemon.pid");
    // Where the serial library may put its lock files, each hidden at
    // start-up behind an empty directory of the daemon's own
    // (core/lock_namespace.h). Empty: the directories are left as they are.
    QStringList lockDirectories { QStringLiteral("/run/lock"), QStringLiteral("/var/lock") };
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
    QString pidFile;
    DaemonSwitches switches;
    PortIo* portIo;
    QtMessageHandler messageHandler;
};
