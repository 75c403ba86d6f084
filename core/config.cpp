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

bool readsAsDecimalOne(const QString& text)
{
    bool ok = false;
    return text.toInt(&ok) == 1 && ok;
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
    qWarning().nospace() << "Ignoring " << key << " = " << text
                         << ": not a positive number of milliseconds";
}

// The exact key, or else the first key of the file that differs from it in
// letter case only. QSettings matches INI names exactly on Linux.
QString actualKey(const QSettings& settings, const QString& key)
{
    if (settings.contains(key))
        return key;
    const QStringList keys = settings.allKeys();
    for (const QString& candidate : keys) {
        if (candidate.compare(key, Qt::CaseInsensitive) == 0)
            return candidate;
    }
    return QString();
}

} // namespace

QVariant configValue(const QSettings& settings, const QString& key, const QVariant& fallback)
{
    const QString actual = actualKey(settings, key);
    return actual.isEmpty() ? fallback : settings.value(actual);
}

bool configContains(const QSettings& settings, const QString& key)
{
    return !actualKey(settings, key).isEmpty();
}

QString configText(const QSettings& settings, const QString& key, const QString& fallback)
{
    const QVariant value = configValue(settings, key, fallback);
    if (value.userType() != QMetaType::QStringList)
        return value.toString();
    const QString joined = value.toStringList().join(QLatin1Char(','));
    qWarning().nospace() << "Value of " << key << " contains a comma and is read as " << joined
                         << "; write it in double quotes";
    return joined;
}

bool readSwitch(const QString& text)
{
    return text.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0
        || text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0
        || readsAsDecimalOne(text);
}

bool parseHex(const QString& text, uint* value)
{
    QString digits = text.trimmed();
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits.remove(0, 2);
    bool ok = false;
    *value = digits.toUInt(&ok, 16);
    return ok;
}

uint readHex(const QString& text)
{
    uint value = 0;
    return parseHex(text, &value) ? value : 0;
}

RegList parseCmds(const QStringList& list)
{
    RegList cmds;
    for (const QString& item : list) {
        const QStringList pieces = item.split(QLatin1Char(':'), Qt::SkipEmptyParts);
        if (pieces.size() != 2)
            continue;
        // A typo must not turn into a write of 0: "0x07:0x0G" would select
        // logical device 0 and send the following writes to another device.
        uint reg = 0;
        uint val = 0;
        if (!parseHex(pieces[0], &reg) || !parseHex(pieces[1], &val)) {
            qWarning().nospace() << "Ignoring register command " << item
                                 << ": register and value must be hexadecimal numbers";
            continue;
        }
        cmds.push_back(RegValue{static_cast<uint8_t>(reg & 0xFF), static_cast<uint8_t>(val & 0xFF)});
    }
    return cmds;
}

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
    const QString interval = configValue(settings, QStringLiteral("Vendor_Tarvelo/EnvIntervalMs")).toString();

    // A period that does not fit a positive int would give the monitoring
    // timer a negative interval; such a value keeps the default.
    int period = 0;
    if (positiveMillis(interval, &period))
        envIntervalMs = period;
    else if (!interval.isEmpty())
        warnIgnoredPeriod(QStringLiteral("Vendor_Tarvelo/EnvIntervalMs"), interval);

    static const char* const enabledWords[] = {"on", "true", "1", "enabled", "enable"};
    envEnabled = readsAsDecimalOne(monitor);
    for (const char* word : enabledWords)
        envEnabled = envEnabled || monitor.compare(QLatin1String(word), Qt::CaseInsensitive) == 0;

    if (envEnabled)
        qInfo() << "=== Monitoring enabled from config. Interval(ms):" << envIntervalMs << " ===";
    else
        qInfo() << "=== Monitoring disabled from config. ===";
}

VendorConfig readVendorConfig(const QSettings& settings, const QString& name)
{
    const QString section = QStringLiteral("Vendor_") + name;
    VendorConfig config;
    for (const QString& item : configValue(settings, keyIn(section, "EnterKey")).toStringList())
        config.enterKey.push_back(static_cast<uint8_t>(readHex(item) & 0xFF));
    config.exitKey = static_cast<uint8_t>(
        readHex(configValue(settings, keyIn(section, "ExitKey"), QStringLiteral("0xAA")).toString()) & 0xFF);
    config.startCmds = parseCmds(configValue(settings, keyIn(section, "StartCmds")).toStringList());
    config.stopCmds = parseCmds(configValue(settings, keyIn(section, "StopCmds")).toStringList());
    config.feedCmds = parseCmds(configValue(settings, keyIn(section, "FeedCmds")).toStringList());
    return config;
}

void loadVendorConfig(const QSettings& settings, const QString& name,
                      const std::shared_ptr<IVendorStrategy>& strategy, SuperIOManager& manager)
{
    strategy->setConfig(readVendorConfig(settings, name));
    manager.strategies.push_back(strategy);
}

std::vector<uint16_t> readScanPorts(const QSettings& settings)
{
    const QStringList items =
        configValue(settings, QStringLiteral("Global/ScanPorts"), QStringList{QStringLiteral("0x2E"), QStringLiteral("0x4E")})
            .toStringList();
    // An item that is no port number is skipped: probing "port 0" would
    // write the enter keys into the DMA controller at ports 0 and 1.
    std::vector<uint16_t> ports;
    for (const QString& item : items) {
        uint port = 0;
        if (!parseHex(item, &port) || port == 0 || port > 0xFFFF) {
            qWarning().nospace() << "Ignoring " << QStringLiteral("Global/ScanPorts") << " item " << item
                                 << ": not an I/O port number";
            continue;
        }
        ports.push_back(static_cast<uint16_t>(port));
    }
    return ports;
}

int readIntervalMs(const QSettings& settings, const QString& modelSection)
{
    // A 0 ms period would spin the event loop and a negative one would never
    // feed at all, which resets the machine: such a value counts as absent.
    for (const QString& key : {keyIn(modelSection, "IntervalMs"), QStringLiteral("Global/IntervalMs")}) {
        if (!configContains(settings, key))
            continue;
        const QString text = configValue(settings, key).toString();
        int period = 0;
        if (positiveMillis(text, &period))
            return period;
        warnIgnoredPeriod(key, text);
    }
    return 3000;
}

void handOverRegisterLists(const QSettings& settings, IVendorStrategy& strategy,
                           const QString& modelSection, const QString& vendorSection)
{
    RegList lists[3];
    const char* const keys[3] = {"StartCmds", "StopCmds", "FeedCmds"};
    for (int i = 0; i < 3; ++i) {
        const QString modelKey = keyIn(modelSection, keys[i]);
        const QVariant value = configContains(settings, modelKey) ? configValue(settings, modelKey)
                                                           : configValue(settings, keyIn(vendorSection, keys[i]));
        lists[i] = parseCmds(value.toStringList());
    }
    strategy.setCommands(lists[0], lists[1], lists[2]);
}

void handOverDconTemplates(const QSettings& settings, SuperIOManager& manager, const QString& modelSection)
{
    QString templates[4];
    const char* const keys[4] = {"StartCmds", "StopCmds", "FeedCmds", "SetCmds"};
    for (int i = 0; i < 4; ++i) {
        templates[i] = configText(settings, keyIn(modelSection, keys[i]));
        if (templates[i].isEmpty())
            templates[i] = configText(settings, keyIn(QStringLiteral("Vendor_Tarvelo"), keys[i]));
    }
    manager.setDconCommands(templates[0], templates[1], templates[2], templates[3]);
}
