#include "core/daemon.h"

// The watchdog drivers of the real daemon. Each family adds its factory here;
// start-up creates the candidates in the order of the fields.
DaemonParts productionParts()
{
    return DaemonParts{};
}
