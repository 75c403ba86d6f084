// The configuration readers on arbitrary INI bytes: everything the daemon
// reads from its configuration file, from the start-up switches to the
// channel tables of the environment monitor, over one file per input.

#include "core/candidates.h"
#include "core/config.h"
#include "core/globals.h"
#include "fuzz/fuzz_support.h"
#include "monitor/sensors.h"
#include "serialctl/tarvelo_vendor.h"
#include "strategy/superio_manager.h"
#include "superio/fintek_vendor.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

namespace {

QString configPath()
{
    static QTemporaryDir directory;
    return directory.filePath(QStringLiteral("wdt.ini"));
}

void writeFile(const QString& path, const uint8_t* data, size_t size)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
}

void readModelSection(const QSettings& settings, const QString& path, const QString& model)
{
    FUZZ_CHECK(readIntervalMs(settings, model) > 0);

    FintekVendor chip;
    handOverRegisterLists(settings, chip, model, QStringLiteral("Vendor_Fintek"));

    SuperIOManager manager;
    manager.current = createTarveloVendor(settings);
    handOverDconTemplates(settings, manager, model);

    const Sensors monitor(model, path);
    FUZZ_CHECK(monitor.staticTable().size() <= 6);
    FUZZ_CHECK(monitor.dynamicTable().size() <= 32);
    for (const QMap<int, Terminal>* table : { &monitor.staticTable(), &monitor.dynamicTable() }) {
        for (const Terminal& terminal : *table)
            FUZZ_CHECK(terminal.status == 0 && !terminal.command.isEmpty());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    installQuietMessageHandler();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = configPath();
    writeFile(path, data, size);

    setupDebugFromConfig(path);
    setupTarveloForce(path);
    envIntervalMs = 60000;
    setupMonitoringFromConfig(path);
    FUZZ_CHECK(envIntervalMs > 0);

    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setIniCodec("UTF-8");
        for (const char* vendor : { "Fintek", "ITE", "Nuvoton" })
            readVendorConfig(settings, QLatin1String(vendor));
        for (const uint16_t port : readScanPorts(settings))
            FUZZ_CHECK(port != 0);
        readModelSection(settings, path, QStringLiteral("Generic_Tarvelo"));
        for (const auto& row : tarvelo_ids)
            readModelSection(settings, path, QString::fromStdString(row.second));
    }

    // The INI reader keeps what it parsed of a file for the whole process.
    // Parsed again as an empty file, it drops this input's keys now: the
    // next input starts from the same state, and each input frees what it
    // allocated, so that the fuzzer's leak check does not run after every
    // input.
    writeFile(path, nullptr, 0);
    QSettings(path, QSettings::IniFormat).allKeys();
    return 0;
}
