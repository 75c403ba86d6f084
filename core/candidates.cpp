#include "core/daemon.h"
#include "monitor/sensors.h"
#include "serialctl/tarvelo_vendor.h"

// The watchdog drivers of the real daemon. Start-up creates the candidates
// in the order of the fields of DaemonParts, whatever the order here.
DaemonParts productionParts()
{
    DaemonParts parts;
    // Super I/O drivers.
    parts.makeSerialBoard = createTarveloVendor;
    parts.makeMonitor = [](const QString& model, const QString& configPath) { return std::make_unique<Sensors>(model, configPath); };
    return parts;
}
