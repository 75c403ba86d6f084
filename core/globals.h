#pragma once

#include <QString>

class SuperIOManager;
class EnvironmentMonitor;

// Paths are globals rather than constants so that tests can point them at
// temporary files; the daemon itself never changes them.
extern QString LOG_FILE;
extern QString CONFIG_FILE;
extern QString TEST_FILE;
// The kernel's list of loaded modules, checked for drivers that share the
// Super I/O configuration ports.
extern QString MODULES_FILE;

extern int envIntervalMs;
extern bool envEnabled;
extern bool tarveloEnabled;
extern bool envQueryRequest;

extern SuperIOManager* globalSio;
// The environment monitor of the serial board; null unless that board was
// detected. Created once and kept until the process ends.
extern EnvironmentMonitor* sensors;
