#include "core/globals.h"

#include "core/environment.h"

namespace {

// The paths start as the real machine's; runDaemon() sets them from the
// environment it is given.
const DaemonEnvironment initial;

} // namespace

QString LOG_FILE = initial.logFile;
QString CONFIG_FILE = initial.configFile;
QString TEST_FILE = initial.testFile;
QString MODULES_FILE = initial.modulesFile;
QString PID_FILE = initial.pidFile;

int envIntervalMs = 60000;
bool envEnabled = false;
bool tarveloEnabled = false;
bool envQueryRequest = false;

DaemonSwitches::DaemonSwitches()
    : envIntervalMs(::envIntervalMs)
    , envEnabled(::envEnabled)
    , tarveloEnabled(::tarveloEnabled)
    , envQueryRequest(::envQueryRequest)
{
}

void DaemonSwitches::restore() const
{
    ::envQueryRequest = envQueryRequest;
    ::tarveloEnabled = tarveloEnabled;
    ::envEnabled = envEnabled;
    ::envIntervalMs = envIntervalMs;
}

SuperIOManager* globalSio = nullptr;
EnvironmentMonitor* sensors = nullptr;
