#include "core/candidates.h"

#include "monitor/sensors.h"
#include "serialctl/tarvelo_vendor.h"
#include "strategy/ini_values.h"
#include "superio/fintek_vendor.h"
#include "superio/ite_vendor.h"
#include "superio/nuvoton_vendor.h"

std::shared_ptr<IVendorStrategy> createTarveloVendor(const QSettings& settings)
{
    auto board = std::make_shared<TarveloVendor>(readDconLinkSettings(settings));
    board->setDconCommands(configText(settings, QStringLiteral("Vendor_Tarvelo/StartCmd")),
        configText(settings, QStringLiteral("Vendor_Tarvelo/StopCmd")),
        configText(settings, QStringLiteral("Vendor_Tarvelo/FeedCmd")));
    return board;
}

// The watchdog drivers of the real daemon. Start-up creates the candidates
// in the order of the fields of DaemonParts, whatever the order here.
DaemonParts productionParts()
{
    DaemonParts parts;
    parts.makeFintek = [] { return std::make_shared<FintekVendor>(); };
    parts.makeIte = [] { return std::make_shared<IteVendor>(); };
    parts.makeNuvoton = [] { return std::make_shared<NuvotonVendor>(); };
    parts.makeSerialBoard = createTarveloVendor;
    parts.makeMonitor
        = [](const QString& model, const QString& configPath) { return std::make_unique<Sensors>(model, configPath); };
    return parts;
}
