#include "core/environment.h"

#include "core/globals.h"
#include "core/privileges.h"
#include "superio/port_io.h"

DaemonEnvironment::DaemonEnvironment()
    : portIo(&systemPortIo())
    , privileges(&systemPrivileges())
{
}

DaemonEnvironment DaemonEnvironment::system()
{
    return DaemonEnvironment();
}

EnvironmentScope::EnvironmentScope(const DaemonEnvironment& environment)
    : logFile(LOG_FILE)
    , configFile(CONFIG_FILE)
    , testFile(TEST_FILE)
    , modulesFile(MODULES_FILE)
    , pidFile(PID_FILE)
    , portIo(setPortIo(environment.portIo))
    // qInstallMessageHandler() answers only with the handler it replaces:
    // put the one in force back at once, and keep it for the end.
    , messageHandler(qInstallMessageHandler(nullptr))
{
    qInstallMessageHandler(messageHandler);
    LOG_FILE = environment.logFile;
    CONFIG_FILE = environment.configFile;
    TEST_FILE = environment.testFile;
    MODULES_FILE = environment.modulesFile;
    PID_FILE = environment.pidFile;
}

EnvironmentScope::~EnvironmentScope()
{
    // The handler first: a message logged while the rest is put back must
    // not reach the restored log path through the daemon's handler.
    qInstallMessageHandler(messageHandler);
    switches.restore();
    setPortIo(portIo);
    LOG_FILE = logFile;
    CONFIG_FILE = configFile;
    TEST_FILE = testFile;
    MODULES_FILE = modulesFile;
    PID_FILE = pidFile;
}
