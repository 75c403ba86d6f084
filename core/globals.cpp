#include "core/globals.h"

QString LOG_FILE = QStringLiteral("/var/log/wdt-daemon.log");
QString CONFIG_FILE = QStringLiteral("/etc/wdt.ini");
QString TEST_FILE = QStringLiteral("/tmp/WDT_TEST");
QString MODULES_FILE = QStringLiteral("/proc/modules");

int envIntervalMs = 60000;
bool envEnabled = false;
bool tarveloEnabled = false;
bool envQueryRequest = false;

SuperIOManager* globalSio = nullptr;
EnvironmentMonitor* sensors = nullptr;
