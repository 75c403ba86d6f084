#pragma once

#include <QString>

class SuperIOManager;
class EnvironmentMonitor;

// The paths of the environment runDaemon() runs in (core/environment.h); it
// sets them on entry and puts them back on exit.
extern QString LOG_FILE;
extern QString CONFIG_FILE;
extern QString TEST_FILE;
extern QString MODULES_FILE;
extern QString PID_FILE;

extern int envIntervalMs;
extern bool envEnabled;
extern bool tarveloEnabled;
extern bool envQueryRequest;

// The switches and the pending request above as they are when it is made;
// restore() puts them back. For code that runs the start-up readers, which
// set them, outside the daemon's own run.
struct DaemonSwitches {
    DaemonSwitches();
    void restore() const;

    int envIntervalMs;
    bool envEnabled;
    bool tarveloEnabled;
    bool envQueryRequest;
};

extern SuperIOManager* globalSio;
// The environment monitor of the serial board; null unless that board was
// detected. Created once and kept until the process ends.
extern EnvironmentMonitor* sensors;
