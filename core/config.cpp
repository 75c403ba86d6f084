#include "core/config.h"

#include "core/globals.h"
#include "strategy/superio_manager.h"

#include <QDebug>
#include <QLoggingCategory>

#include <climits>

namespace {

QString keyIn(const QString& section, const char* key)
{
    return section + QLatin1Char('/') + QLatin1String(key);
}

// A period in milliseconds that a timer can run with: 1 .. INT_MAX.
bool positiveMillis(const QString& text, int* value)
{
    bool ok = false;
    const qlonglong parsed = text.toLongLong(&ok, 10);
    if (!ok || parsed <= 0 || parsed > INT_MAX)
        return false;
    *value = static_cast<int>(parsed);
    return true;
}

void warnIgnoredPeriod(const QString& key, const QString& text)
{
    qWarning().nospace() << "Ignoring " << key << " = " << text << ": not a positive number of milliseconds";
}

} // namespace

void setupDebugFromConfig(const QString& path)
{
    // The INI reader parses a file once per process and keeps it: every
    // reader must decode it as UTF-8, or the first one garbles non-ASCII
    // texts (display formats, say) for all later ones.
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    QString text = configValue(settings, QStringLiteral("Debug/Enabled")).toString();
    if (text.isEmpty())
        text = configValue(settings, QStringLiteral("Watchdog/Debug")).toString();

    if (readSwitch(text)) {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=true"));
        qInfo() << "=== DEBUG MODE ENABLED from config ===";
    } else {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
        qInfo() << "=== DEBUG MODE DISABLED from config ===";
    }
}

void setupTarveloForce(const QString& path)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    if (readSwitch(configValue(settings, QStringLiteral("Global/ForceTarvelo")).toString())) {
        tarveloEnabled = true;
        qInfo() << "=== Принудительный выбор Tarvelo ===";
    }
}

void setupMonitoringFromConfig(const QString& path)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    const QString monitor = configValue(settings, QStringLiteral("Vendor_Tarvelo/EnvMonitor")).toString();
    // As written: "60,000" reads as a list, which must not pass for empty.
    const QString interval = configRawText(settings, QStringLiteral("Vendor_Tarvelo/EnvIntervalMs"));

    // A period that does not fit a positive int would give the monitoring
    // timer a negative interval; such a value keeps the default.
    int period = 0;
    if (positiveMillis(interval, &period))
        envIntervalMs = period;
    else if (!interval.isEmpty())
        warnIgnoredPeriod(QStringLiteral("Vendor_Tarvelo/EnvIntervalMs"), interval);

    // Besides the switch words, the monitor also takes "enabled" and "enable".
    envEnabled = readSwitch(monitor) || monitor.compare(QLatin1String("enabled"), Qt::CaseInsensitive) == 0
        || monitor.compare(QLatin1String("enable"), Qt::CaseInsensitive) == 0;

    if (envEnabled)
        qInfo() << "=== Monitoring enabled from config. Interval(ms):" << envIntervalMs << " ===";
    else
        qInfo() << "=== Monitoring disabled from config. ===";
}

VendorConfig readVendorConfig(const QSettings& settings, const QString& name)
{
    const QString section = QStringLiteral("Vendor_") + name;
    VendorConfig config;
    for (const QString& item : configValue(settings, keyIn(section, "EnterKey")).toStringList()) {
        // An empty value is one empty item: it reads as a 0 byte, but names
        // no key that could replace a built-in one.
        if (item.trimmed().isEmpty()) {
            config.enterKey.push_back(0);
            continue;
        }
        // A typo is skipped rather than sent as 0x00: a key with a wrong
        // byte leaves the chip locked, and for ITE and Nuvoton it would
        // replace a built-in key that works.
        uint byte = 0;
        if (!parseHex(item, &byte) || byte > 0xFF) {
            qWarning().nospace() << "Ignoring " << keyIn(section, "EnterKey") << " item " << item
                                 << ": not a byte, 0x00 to 0xFF";
            continue;
        }
        config.enterKey.push_back(static_cast<uint8_t>(byte));
        config.enterKeyConfigured = true;
    }
    config.exitKey = static_cast<uint8_t>(
        readHex(configValue(settings, keyIn(section, "ExitKey"), QStringLiteral("0xAA")).toString()) & 0xFF);
    config.startCmds = parseCmds(configValue(settings, keyIn(section, "StartCmds")).toStringList());
    config.stopCmds = parseCmds(configValue(settings, keyIn(section, "StopCmds")).toStringList());
    config.feedCmds = parseCmds(configValue(settings, keyIn(section, "FeedCmds")).toStringList());

    // The timeout written into a global register would land in the device
    // select (0x07) or the configuration control (0x02, which on some parts
    // resets every logical device): only a device's own registers count.
    const QString counterKey = keyIn(section, "CounterRegister");
    if (configContains(settings, counterKey)) {
        const QString text = configRawText(settings, counterKey);
        uint reg = 0;
        if (parseHex(text, &reg) && reg >= 0x30 && reg <= 0xFF)
            config.counterRegister = static_cast<uint8_t>(reg);
        else
            qWarning().nospace() << "Ignoring " << counterKey << " = " << text
                                 << ": not a register of a logical device, 0x30 to 0xFF";
    }
    return config;
}

void loadVendorConfig(const QSettings& settings, const QString& name, const std::shared_ptr<IVendorStrategy>& strategy,
    SuperIOManager& manager)
{
    strategy->setConfig(readVendorConfig(settings, name));
    manager.strategies.push_back(strategy);
}

std::vector<uint16_t> readScanPorts(const QSettings& settings)
{
    const QStringList items = configValue(
        settings, QStringLiteral("Global/ScanPorts"), QStringList { QStringLiteral("0x2E"), QStringLiteral("0x4E") })
                                  .toStringList();
    // An item that is no port number is skipped: probing "port 0" would
    // write the enter keys into the DMA controller at ports 0 and 1, and so
    // would 0xFFFF, whose data port wraps around to 0.
    std::vector<uint16_t> ports;
    for (const QString& item : items) {
        uint port = 0;
        if (!parseHex(item, &port) || port == 0 || port >= 0xFFFF) {
            qWarning().nospace() << "Ignoring " << QStringLiteral("Global/ScanPorts") << " item " << item
                                 << ": not an I/O port number";
            continue;
        }
        ports.push_back(static_cast<uint16_t>(port));
    }
    return ports;
}

bool readSerialBoardProbe(const QSettings& settings)
{
    const QString text = configRawText(settings, QStringLiteral("Vendor_Tarvelo/Probe"));
    return text.isEmpty() || readSwitch(text);
}

int readIntervalMs(const QSettings& settings, const QString& modelSection)
{
    // A 0 ms period would spin the event loop and a negative one would never
    // feed at all, which resets the machine: such a value counts as absent.
    for (const QString& key : { keyIn(modelSection, "IntervalMs"), QStringLiteral("Global/IntervalMs") }) {
        if (!configContains(settings, key))
            continue;
        // As written, so that the warning shows "1,500" and not nothing.
        const QString text = configRawText(settings, key);
        int period = 0;
        if (positiveMillis(text, &period))
            return period;
        warnIgnoredPeriod(key, text);
    }
    return 3000;
}

void handOverRegisterLists(
    const QSettings& settings, IVendorStrategy& strategy, const QString& modelSection, const QString& vendorSection)
{
    RegList lists[3];
    const char* const keys[3] = { "StartCmds", "StopCmds", "FeedCmds" };
    for (int i = 0; i < 3; ++i) {
        const QString modelKey = keyIn(modelSection, keys[i]);
        const QVariant value = configContains(settings, modelKey)
            ? configValue(settings, modelKey)
            : configValue(settings, keyIn(vendorSection, keys[i]));
        lists[i] = parseCmds(value.toStringList());
    }
    strategy.setCommands(lists[0], lists[1], lists[2]);
}

void handOverDconTemplates(const QSettings& settings, SuperIOManager& manager, const QString& modelSection)
{
    QString templates[4];
    const char* const keys[4] = { "StartCmds", "StopCmds", "FeedCmds", "SetCmds" };
    for (int i = 0; i < 4; ++i) {
        templates[i] = configText(settings, keyIn(modelSection, keys[i]));
        if (templates[i].isEmpty())
            templates[i] = configText(settings, keyIn(QStringLiteral("Vendor_Tarvelo"), keys[i]));
    }
    manager.setDconCommands(templates[0], templates[1], templates[2], templates[3]);
}
