#include "core/config_check.h"

#include "core/config.h"
#include "core/daemon.h"
#include "core/file_checks.h"
#include "core/globals.h"
#include "core/health.h"
#include "core/logging.h"
#include "core/metrics_file.h"
#include "core/state_file.h"
#include "monitor/sensors.h"
#include "serialctl/dcon_link.h"
#include "serialctl/tarvelo_vendor.h"
#include "strategy/ini_values.h"
#include "superio/fintek_vendor.h"
#include "superio/ite_vendor.h"
#include "superio/nuvoton_vendor.h"

#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {

// The readers report through the Qt message functions: while the check
// runs, their messages are collected here instead of reaching the log.
QStringList* collected = nullptr;

void collect(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (collected && (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg)) {
        // The daemon's line without its time stamp: "[WARN ] ...".
        const QString line = formatLogLine(type, QDateTime(), message).mid(1);
        if (!collected->contains(line))
            collected->append(line);
    }
}

// The readers set the daemon's switches; the check leaves them as they were.
class ReadersScope {
public:
    explicit ReadersScope(QStringList* messages)
        : outer(collected)
    {
        collected = messages;
        previous = qInstallMessageHandler(collect);
    }
    ~ReadersScope()
    {
        qInstallMessageHandler(previous);
        collected = outer;
        switches.restore();
    }
    ReadersScope(const ReadersScope&) = delete;
    ReadersScope& operator=(const ReadersScope&) = delete;

private:
    DaemonSwitches switches;
    QStringList* outer;
    QtMessageHandler previous;
};

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

QString hexText(uint value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

QString hexByte(uint value)
{
    return hexText(value);
}

QString quoted(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("empty") : QLatin1Char('"') + text + QLatin1Char('"');
}

QString bytesText(const std::vector<uint8_t>& bytes)
{
    QStringList items;
    for (const uint8_t byte : bytes)
        items << hexByte(byte);
    return items.isEmpty() ? QStringLiteral("no bytes") : items.join(QLatin1Char(' '));
}

QString registersText(const RegList& list)
{
    QStringList items;
    for (const RegValue& cmd : list)
        items << hexByte(cmd.reg) + QLatin1Char(':') + hexByte(cmd.val);
    return items.isEmpty() ? QStringLiteral("empty") : items.join(QLatin1String(", "));
}

QString writesText(const RegList& list)
{
    return QString::number(list.size()) + (list.size() == 1 ? QLatin1String(" write") : QLatin1String(" writes"));
}

// A name the daemon builds a key from ("Vendor_Nuvoton/Winbond",
// "Generic_Nuvoton/Winbond") puts everything after its first slash in
// front of the key, inside the section before it.
struct SectionName {
    QString section;
    QString prefix;
};

SectionName splitName(const QString& name)
{
    const int slash = name.indexOf(QLatin1Char('/'));
    if (slash < 0)
        return { name, QString() };
    return { name.left(slash), name.mid(slash + 1) + QLatin1Char('/') };
}

// What the daemon's readers made of the file.
struct Readings {
    explicit Readings(const QSettings& settings)
        : settings(settings)
    {
    }
    const QSettings& settings;
    bool forced = false;
    bool monitor = false;
    int monitorPeriod = 0;
    bool probeBoard = true;
    std::vector<uint16_t> ports;
    int globalInterval = 0;
    DconLinkSettings link;
    QString stateFile;
    // Read once, so that each warning is reported once.
    std::optional<HealthConfig> health;
};

struct SuperIoVendor {
    const char* word; // of its section, "Vendor_<word>"
    const SioVendor& driver;
    const ChipTable& chips;
    // The driver unlocks the chip with a key of its own when none is given.
    bool ownEnterKey;
};

const SuperIoVendor kSuperIoVendors[] = {
    { "Fintek", fintek_superio, fintek_ids, false },
    { "ITE", ite_superio, ite_ids, true },
    { "Nuvoton", nuvoton_superio, nct_ids, true },
};

// How a switch is read: the plain words, or also "enabled" and "enable".
enum class Kind { Value, Switch, MonitorSwitch };

// Every key the daemon reads outside the model sections, with the default
// as the report shows it and the effective value as the readers left it.
// A new key is one more row.
struct KeyRow {
    QString key;
    Kind kind;
    QString fallback;
    std::function<QString(const Readings&)> effective;
};

QString switchOf(const Readings& r, const QString& key)
{
    return onOff(readSwitch(configRawText(r.settings, key)));
}

QString templateOf(const Readings& r, const QString& key)
{
    return quoted(configText(r.settings, key));
}

std::vector<KeyRow> keyTable()
{
    const auto row
        = [](const char* key, Kind kind, const char* fallback, std::function<QString(const Readings&)> effective) {
              return KeyRow { QLatin1String(key), kind, QLatin1String(fallback), std::move(effective) };
          };
    const auto tarveloTemplate = [](const char* key) {
        return KeyRow { QLatin1String(key), Kind::Value, QStringLiteral("empty"),
            [key](const Readings& r) { return templateOf(r, QLatin1String(key)); } };
    };
    std::vector<KeyRow> rows = {
        row("Debug/Enabled", Kind::Switch, "off", [](const Readings& r) { return switchOf(r, "Debug/Enabled"); }),
        row("Watchdog/Debug", Kind::Switch, "off", [](const Readings& r) { return switchOf(r, "Watchdog/Debug"); }),
        row("Global/ForceTarvelo", Kind::Switch, "off", [](const Readings& r) { return onOff(r.forced); }),
        row("Global/ScanPorts", Kind::Value, "0x2E, 0x4E",
            [](const Readings& r) {
                QStringList items;
                for (const uint16_t port : r.ports)
                    items << hexText(port);
                return items.isEmpty() ? QStringLiteral("no usable port") : items.join(QLatin1String(", "));
            }),
        row("Global/MetricsFile", Kind::Value, "none",
            [](const Readings& r) {
                const QString path = readMetricsFilePath(r.settings);
                return path.isEmpty() ? QStringLiteral("none") : quoted(path);
            }),
        row("Global/StateFile", Kind::Value, "none",
            [](const Readings& r) { return r.stateFile.isEmpty() ? QStringLiteral("none") : quoted(r.stateFile); }),
        row("Global/IntervalMs", Kind::Value, "3000",
            [](const Readings& r) { return QString::number(r.globalInterval) + QLatin1String(" ms"); }),
        row("Vendor_Tarvelo/Probe", Kind::Switch, "on", [](const Readings& r) { return onOff(r.probeBoard); }),
        row("Vendor_Tarvelo/Port", Kind::Value, "/dev/ttyS0",
            [](const Readings& r) { return quoted(r.link.portName); }),
        row("Vendor_Tarvelo/Baud", Kind::Value, "9600",
            [](const Readings& r) { return QString::number(r.link.baudRate); }),
        row("Vendor_Tarvelo/Address", Kind::Value, "1",
            [](const Readings& r) { return QStringLiteral("0x") + dconAddressText(r.link.address); }),
        tarveloTemplate("Vendor_Tarvelo/StartCmd"),
        tarveloTemplate("Vendor_Tarvelo/StopCmd"),
        tarveloTemplate("Vendor_Tarvelo/FeedCmd"),
        tarveloTemplate("Vendor_Tarvelo/StartCmds"),
        tarveloTemplate("Vendor_Tarvelo/StopCmds"),
        tarveloTemplate("Vendor_Tarvelo/FeedCmds"),
        tarveloTemplate("Vendor_Tarvelo/SetCmds"),
        row("Vendor_Tarvelo/EnvMonitor", Kind::MonitorSwitch, "off",
            [](const Readings& r) { return onOff(r.monitor); }),
        row("Vendor_Tarvelo/EnvIntervalMs", Kind::Value, "60000",
            [](const Readings& r) { return QString::number(r.monitorPeriod) + QLatin1String(" ms"); }),
    };
    // The health checks; a text is "none" when unset, a number its default.
    const auto health = [](const Readings& r) { return r.health.value_or(HealthConfig()); };
    const auto healthText = [&](const char* key, QString HealthConfig::*field) {
        rows.push_back({ QLatin1String(key), Kind::Value, QStringLiteral("none"), [health, field](const Readings& r) {
                            const QString text = health(r).*field;
                            return text.isEmpty() ? QStringLiteral("none") : quoted(text);
                        } });
    };
    const auto healthNumber = [&](const char* key, int HealthConfig::*field, const char* unit) {
        rows.push_back({ QLatin1String(key), Kind::Value, QString::number(HealthConfig().*field) + QLatin1String(unit),
            [health, field, unit](
                const Readings& r) { return QString::number(health(r).*field) + QLatin1String(unit); } });
    };
    healthText("Health/PidFile", &HealthConfig::pidFile);
    healthText("Health/HeartbeatFile", &HealthConfig::heartbeatFile);
    healthNumber("Health/HeartbeatMaxAgeS", &HealthConfig::heartbeatMaxAgeS, " s");
    healthText("Health/Command", &HealthConfig::command);
    healthNumber("Health/CommandIntervalMs", &HealthConfig::commandIntervalMs, " ms");
    healthNumber("Health/CommandTimeoutMs", &HealthConfig::commandTimeoutMs, " ms");
    rows.push_back({ QStringLiteral("Health/MinAvailableMemoryMB"), Kind::Value, QStringLiteral("none"),
        [health](const Readings& r) {
            const auto memory = health(r).minAvailableMemoryMB;
            return memory ? QString::number(*memory) + QLatin1String(" MB") : QStringLiteral("none");
        } });
    rows.push_back(
        { QStringLiteral("Health/MaxLoad1"), Kind::Value, QStringLiteral("none"), [health](const Readings& r) {
             const auto load = health(r).maxLoad1;
             return load ? QString::number(*load) : QStringLiteral("none");
         } });
    healthNumber("Health/Failures", &HealthConfig::failures, "");
    healthText("Health/RepairCommand", &HealthConfig::repairCommand);
    healthNumber("Health/RepairTimeoutMs", &HealthConfig::repairTimeoutMs, " ms");

    // The keys of the three Super I/O sections, read before probing.
    for (const SuperIoVendor& vendor : kSuperIoVendors) {
        const QString section = QStringLiteral("Vendor_") + QLatin1String(vendor.word);
        const auto config = [section](const Readings& r) { return readVendorConfig(r.settings, section.mid(7)); };
        const auto key = [section](const char* name) { return section + QLatin1Char('/') + QLatin1String(name); };
        const SioVendor* driver = &vendor.driver;
        const QString ownKey = vendor.ownEnterKey ? QStringLiteral("the driver's own") : QStringLiteral("no bytes");
        rows.push_back({ key("EnterKey"), Kind::Value, ownKey, [config, ownKey](const Readings& r) {
                            const VendorConfig c = config(r);
                            return c.enterKeyConfigured ? bytesText(c.enterKey) : ownKey;
                        } });
        rows.push_back({ key("ExitKey"), Kind::Value, QStringLiteral("0xAA"),
            [config](const Readings& r) { return hexByte(config(r).exitKey); } });
        rows.push_back({ key("CounterRegister"), Kind::Value, hexByte(driver->counter),
            [config, driver](const Readings& r) { return hexByte(sio_counter(*driver, config(r))); } });
        rows.push_back({ key("StartCmds"), Kind::Value, QStringLiteral("empty"),
            [config](const Readings& r) { return registersText(config(r).startCmds); } });
        rows.push_back({ key("StopCmds"), Kind::Value, QStringLiteral("empty"),
            [config](const Readings& r) { return registersText(config(r).stopCmds); } });
        rows.push_back({ key("FeedCmds"), Kind::Value, QStringLiteral("empty"),
            [config](const Readings& r) { return registersText(config(r).feedCmds); } });
    }
    return rows;
}

// Keys of a model section (after the model's key prefix).
const char* const kModelKeys[] = { "IntervalMs", "StartCmds", "StopCmds", "FeedCmds" };
const char* const kBoardModelKeys[] = { "SetCmds" };
const char* const kStaticChannels[] = { "HitWDT", "Odm", "Green", "Mute", "Errors", "Error" };
constexpr int kChannelsPerKind = 16;

QStringList channelKeys()
{
    QStringList keys;
    for (const char* name : kStaticChannels)
        keys << QLatin1String(name) + QLatin1String("Cmds");
    for (const char* kind : { "Term", "Cool" }) {
        for (int i = 0; i < kChannelsPerKind; ++i)
            keys << QLatin1String(kind) + QString::number(i) + QLatin1String("Cmds");
    }
    return keys;
}

struct Model {
    QString name;
    bool board; // the serial board's, not a Super I/O chip's
    const SioVendor* driver;
};

std::vector<Model> knownModels()
{
    std::vector<Model> models;
    for (const SuperIoVendor& vendor : kSuperIoVendors) {
        models.push_back({ QLatin1String(vendor.driver.genericModel), false, &vendor.driver });
        for (const auto& chip : vendor.chips)
            models.push_back({ QString::fromStdString(chip.second), false, &vendor.driver });
    }
    models.push_back({ QString::fromStdString(TarveloVendor(DconLinkSettings {}).model()), true, nullptr });
    for (const auto& board : tarvelo_ids)
        models.push_back({ QString::fromStdString(board.second), true, nullptr });
    return models;
}

int levenshtein(const QString& a, const QString& b)
{
    std::vector<int> row(static_cast<size_t>(b.size()) + 1);
    for (size_t j = 0; j < row.size(); ++j)
        row[j] = static_cast<int>(j);
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int above = row[static_cast<size_t>(j)];
            const bool same = a[i - 1].toLower() == b[j - 1].toLower();
            row[static_cast<size_t>(j)]
                = std::min({ above + 1, row[static_cast<size_t>(j) - 1] + 1, diagonal + !same });
            diagonal = above;
        }
    }
    return row.back();
}

// " (did you mean X?)" for a near miss, else nothing.
QString nearest(const QString& name, const QStringList& known)
{
    QString best;
    int distance = 3;
    for (const QString& candidate : known) {
        const int d = levenshtein(name, candidate);
        if (d < distance) {
            distance = d;
            best = candidate;
        }
    }
    return best.isEmpty() ? QString() : QStringLiteral(" (did you mean ") + best + QLatin1String("?)");
}

bool containsInsensitive(const QStringList& list, const QString& name)
{
    return std::any_of(
        list.begin(), list.end(), [&](const QString& item) { return item.compare(name, Qt::CaseInsensitive) == 0; });
}

bool sectionPresent(const QSettings& settings, const QString& section)
{
    const QString head = section + QLatin1Char('/');
    const QStringList keys = settings.allKeys();
    return std::any_of(
        keys.begin(), keys.end(), [&](const QString& key) { return key.startsWith(head, Qt::CaseInsensitive); });
}

class Report {
public:
    explicit Report(ConfigReport& out)
        : out(out)
    {
    }
    void heading(const QString& text) { out.lines << QString() << text; }
    void line(const QString& text) { out.lines << QStringLiteral("  ") + text; }
    void finding(const QString& text)
    {
        out.lines << QStringLiteral("  warning: ") + text;
        ++out.findings;
    }

private:
    ConfigReport& out;
};

// Switch words: on, true, 1 (or a decimal 1); off, false, 0. Anything else
// reads as off too, but is most likely meant otherwise ("yes").
void checkSwitchWord(Report& report, const Readings& readings, const KeyRow& row)
{
    const QSettings& settings = readings.settings;
    if (row.kind == Kind::Value || !configContains(settings, row.key))
        return;
    const QString text = configRawText(settings, row.key).trimmed();
    QStringList words = { QStringLiteral("on"), QStringLiteral("true"), QStringLiteral("1"), QStringLiteral("off"),
        QStringLiteral("false"), QStringLiteral("0") };
    if (row.kind == Kind::MonitorSwitch)
        words << QStringLiteral("enabled") << QStringLiteral("enable");
    bool ok = false;
    const int number = text.toInt(&ok);
    if (containsInsensitive(words, text) || (ok && (number == 0 || number == 1)))
        return;
    if (text.isEmpty() && row.fallback == QLatin1String("on"))
        return;
    report.finding(row.key + QStringLiteral(" = ") + quoted(text) + QStringLiteral(": not a switch word, reads as ")
        + row.effective(readings) + QStringLiteral(" (accepted: ") + words.join(QLatin1String(", ")) + ')');
}

void reportKeys(Report& report, const Readings& readings, const std::vector<KeyRow>& rows)
{
    report.heading(QStringLiteral("Keys the daemon reads (value, and where it comes from):"));
    for (const KeyRow& row : rows) {
        const bool inFile = configContains(readings.settings, row.key);
        const QString source = inFile ? QStringLiteral("file: ") + quoted(configRawText(readings.settings, row.key))
                                      : QStringLiteral("default: ") + row.fallback;
        report.line(row.key + QStringLiteral(" = ") + row.effective(readings) + QStringLiteral("   (") + source + ')');
    }
    for (const KeyRow& row : rows)
        checkSwitchWord(report, readings, row);
}

void reportUnknown(
    Report& report, const QSettings& settings, const std::vector<KeyRow>& rows, const std::vector<Model>& models)
{
    QStringList knownKeys;
    QStringList knownSections = { QStringLiteral("Global"), QStringLiteral("Debug"), QStringLiteral("Watchdog") };
    for (const KeyRow& row : rows) {
        knownKeys << row.key;
        const QString section = row.key.section(QLatin1Char('/'), 0, 0);
        if (!containsInsensitive(knownSections, section))
            knownSections << section;
    }
    // After detection the Super I/O lists are also read from "Vendor_" and
    // the driver's name ("Vendor_Nuvoton/Winbond").
    for (const SuperIoVendor& vendor : kSuperIoVendors) {
        const SectionName name = splitName(QStringLiteral("Vendor_") + QLatin1String(vendor.driver.name));
        for (const char* key : { "StartCmds", "StopCmds", "FeedCmds" })
            knownKeys << name.section + QLatin1Char('/') + name.prefix + QLatin1String(key);
    }
    const QStringList channels = channelKeys();
    for (const Model& model : models) {
        const SectionName name = splitName(model.name);
        knownSections << name.section;
        QStringList keys;
        for (const char* key : kModelKeys)
            keys << QLatin1String(key);
        if (model.board) {
            for (const char* key : kBoardModelKeys)
                keys << QLatin1String(key);
            keys << channels;
        }
        for (const QString& key : keys)
            knownKeys << name.section + QLatin1Char('/') + name.prefix + key;
    }

    report.heading(QStringLiteral("Keys and sections the daemon does not know:"));
    QStringList unknownSections;
    for (const QString& key : settings.allKeys()) {
        const QString section
            = key.contains(QLatin1Char('/')) ? key.section(QLatin1Char('/'), 0, 0) : QStringLiteral("General");
        if (!containsInsensitive(knownSections, section)) {
            if (!containsInsensitive(unknownSections, section)) {
                unknownSections << section;
                report.finding(QStringLiteral("section [") + section + QStringLiteral("] is not read")
                    + nearest(section, knownSections));
            }
            continue;
        }
        if (!containsInsensitive(knownKeys, key))
            report.finding(QStringLiteral("key ") + key + QStringLiteral(" is not read") + nearest(key, knownKeys));
    }
}

void reportProbeOrder(Report& report, const Readings& r)
{
    report.heading(QStringLiteral("Candidates and ports, in probe order:"));
    QStringList candidates;
    if (!r.forced) {
        for (const SuperIoVendor& vendor : kSuperIoVendors)
            candidates << QLatin1String(vendor.word);
    }
    const QString board = QStringLiteral("serial board on ") + quoted(r.link.portName) + QStringLiteral(" (")
        + QString::number(r.link.baudRate) + QStringLiteral(" baud, address ") + dconAddressText(r.link.address) + ')';
    if (r.forced && !r.probeBoard) {
        report.finding(QStringLiteral("Global/ForceTarvelo is on and Vendor_Tarvelo/Probe is off: the daemon "
                                      "refuses to start (exit code 1)"));
        return;
    }
    if (r.probeBoard)
        candidates << board;
    else
        report.line(QStringLiteral("the serial board is not probed (Vendor_Tarvelo/Probe off)"));
    if (r.ports.empty()) {
        if (r.probeBoard)
            report.line(QStringLiteral("no usable port: only the serial board is probed, once"));
        else
            report.finding(QStringLiteral("no usable port and no serial board: the daemon finds no watchdog"));
        return;
    }
    for (const uint16_t port : r.ports)
        report.line(
            QStringLiteral("port ") + hexText(port) + QStringLiteral(": ") + candidates.join(QLatin1String(", ")));
}

void reportInterval(Report& report, const QString& label, int intervalMs)
{
    if (intervalMs > kLongestFeedIntervalMs) {
        report.finding(label + QStringLiteral(": ") + QString::number(intervalMs)
            + QStringLiteral(" ms leaves no timeout the hardware can hold: the daemon refuses to start (exit code 1)"));
        return;
    }
    report.line(label + QStringLiteral(": ") + QString::number(intervalMs) + QStringLiteral(" ms, timeout ")
        + QString::number(timeoutForInterval(intervalMs)) + QStringLiteral(" s"));
}

// The body that runs: the first non-empty of the handed-over list (for a
// driver that takes it), the vendor section's, the built-in writes.
// A list handed over after detection, and whether the model section gave it.
struct Handed {
    RegList list;
    bool fromModel = false;
};

QString bodyText(const SioVendor& driver, const Handed& handed, const RegList& configured, const RegList& builtIn,
    const char* key, bool* empty)
{
    *empty = false;
    if (driver.bodies == SioBodies::HandedOverFirst && !handed.list.empty())
        return (handed.fromModel ? QStringLiteral("the model section's ") : QString()) + QLatin1String(key)
            + QStringLiteral(" (") + writesText(handed.list) + ')';
    if (!configured.empty())
        return QLatin1String(key) + QStringLiteral(" (") + writesText(configured) + ')';
    if (!builtIn.empty())
        return QStringLiteral("the driver's own writes (") + registersText(builtIn) + ')';
    *empty = true;
    return QStringLiteral("no register writes");
}

void reportSuperIo(Report& report, const QSettings& settings, const SuperIoVendor& vendor, const QString& label,
    const Handed& handedStart, const Handed& handedStop, const Handed& handedFeed)
{
    const VendorConfig config = readVendorConfig(settings, QLatin1String(vendor.word));
    const SioVendor& driver = vendor.driver;
    const QString counter = hexByte(sio_counter(driver, config));
    bool empty = false;
    report.line(label + QStringLiteral(" start: ")
        + bodyText(driver, handedStart, config.startCmds, driver.builtInStart, "StartCmds", &empty)
        + QStringLiteral(", then the timeout into register ") + counter);
    if (driver.bodies == SioBodies::VendorSection)
        report.line(label + QStringLiteral(" feed: the whole start again"));
    else
        report.line(label + QStringLiteral(" feed: ")
            + bodyText(driver, handedFeed, config.feedCmds, {}, "FeedCmds", &empty)
            + QStringLiteral(", then the timeout into register ") + counter);
    const QString stop = bodyText(driver, handedStop, config.stopCmds, driver.builtInStop, "StopCmds", &empty);
    if (empty && !driver.builtInStopClearsCounter)
        report.finding(label
            + QStringLiteral(" stop: only unlocks and locks the chip: the watchdog stays armed "
                             "after a stop and resets the machine"));
    else if (empty || (stop.startsWith(QLatin1String("the driver's")) && driver.builtInStopClearsCounter))
        report.line(label + QStringLiteral(" stop: ") + (empty ? QString() : stop + QStringLiteral(", "))
            + QStringLiteral("register ") + counter + QStringLiteral(" cleared"));
    else
        report.line(label + QStringLiteral(" stop: ") + stop + QStringLiteral(": disarms only if the list does"));
    if (!config.enterKeyConfigured && !vendor.ownEnterKey)
        report.finding(label
            + QStringLiteral(": no EnterKey: this driver has no key of its own, so the chip is "
                             "never unlocked and never found"));
}

void reportBoard(Report& report, const QSettings& settings, const QString& modelSection, int intervalMs, int address)
{
    const auto templateFor = [&](const char* key) {
        QString text;
        if (!modelSection.isEmpty())
            text = configText(settings, modelSection + QLatin1Char('/') + QLatin1String(key));
        if (text.isEmpty())
            text = configText(settings, QStringLiteral("Vendor_Tarvelo/") + QLatin1String(key));
        return text;
    };
    const QString label = modelSection.isEmpty() ? QStringLiteral("serial board, model without a section")
                                                 : QStringLiteral("serial board [") + modelSection + ']';
    const QString start = templateFor("StartCmds");
    const QString set = templateFor("SetCmds");
    const QString feed = templateFor("FeedCmds");
    const QString stop = templateFor("StopCmds");
    const auto request = [&](const QString& text) { return quoted(expandDconTemplate(text, address)); };
    QStringList arming;
    if (!start.isEmpty())
        arming << request(start);
    if (!set.isEmpty())
        arming << quoted(expandDconSetTemplate(set, address, timeoutForInterval(intervalMs)));
    report.line(label + QStringLiteral(" start: ")
        + (arming.isEmpty() ? QStringLiteral("sends nothing") : QStringLiteral("sends ") + arming.join(" then ")));
    if (feed.isEmpty())
        report.finding(label + QStringLiteral(" feed: sends nothing (no FeedCmds): the board is never fed"));
    else
        report.line(label + QStringLiteral(" feed: sends ") + request(feed));
    if (stop.isEmpty())
        report.finding(label
            + QStringLiteral(" stop: sends nothing (no StopCmds): the board stays armed after a "
                             "stop and resets the machine"));
    else
        report.line(label + QStringLiteral(" stop: sends ") + request(stop));
}

void reportVendors(Report& report, const QSettings& settings, const Readings& r, const std::vector<Model>& present)
{
    report.heading(QStringLiteral("What start, feed and stop do, for each vendor section present:"));
    bool any = false;
    for (const SuperIoVendor& vendor : kSuperIoVendors) {
        const QString section = QStringLiteral("Vendor_") + QLatin1String(vendor.word);
        if (r.forced || !sectionPresent(settings, section))
            continue;
        any = true;
        reportSuperIo(report, settings, vendor, QLatin1String(vendor.word), {}, {}, {});
        // A model section's lists replace the vendor section's where the
        // driver takes handed-over lists.
        for (const Model& model : present) {
            if (model.driver != &vendor.driver || vendor.driver.bodies != SioBodies::HandedOverFirst)
                continue;
            const SectionName name = splitName(model.name);
            Handed lists[3];
            const char* const keys[3] = { "StartCmds", "StopCmds", "FeedCmds" };
            bool own = false;
            for (int i = 0; i < 3; ++i) {
                const QString key = name.section + QLatin1Char('/') + name.prefix + QLatin1String(keys[i]);
                const QString vendorKey = section + QLatin1Char('/') + QLatin1String(keys[i]);
                lists[i].fromModel = configContains(settings, key);
                own = own || lists[i].fromModel;
                lists[i].list = parseCmds(
                    (configContains(settings, key) ? configValue(settings, key) : configValue(settings, vendorKey))
                        .toStringList());
            }
            if (own)
                reportSuperIo(report, settings, vendor,
                    QLatin1String(vendor.word) + QStringLiteral(" [") + model.name + ']', lists[0], lists[1], lists[2]);
        }
    }
    if ((r.forced || sectionPresent(settings, QStringLiteral("Vendor_Tarvelo"))) && r.probeBoard) {
        any = true;
        reportBoard(report, settings, QString(), r.globalInterval, r.link.address);
        for (const Model& model : present) {
            if (model.board)
                reportBoard(report, settings, model.name, readIntervalMs(settings, model.name), r.link.address);
        }
        // Detection replaces the templates read before probing.
        for (const char* key : { "StartCmd", "StopCmd", "FeedCmd" }) {
            const QString early = QStringLiteral("Vendor_Tarvelo/") + QLatin1String(key);
            if (!configText(settings, early).isEmpty()
                && configText(settings, QStringLiteral("Vendor_Tarvelo/") + QLatin1String(key) + 's').isEmpty())
                report.finding(early + QStringLiteral(" is replaced at detection by ") + early
                    + QStringLiteral("s, which is empty"));
        }
    }
    if (!any)
        report.line(QStringLiteral("no vendor section present: the drivers run with their own settings only"));
}

void reportMonitor(Report& report, const QString& path, const Readings& r, const std::vector<Model>& present)
{
    report.heading(QStringLiteral("Environment monitor of the serial board:"));
    report.line(QStringLiteral("periodic readings ") + onOff(r.monitor)
        + (r.monitor ? QStringLiteral(", every ") + QString::number(r.monitorPeriod) + QStringLiteral(" ms")
                     : QString()));
    bool any = false;
    for (const Model& model : present) {
        if (!model.board)
            continue;
        // The monitor's own loaders, on the same file; they only read it.
        const Sensors sensors(model.name, path);
        for (const auto* table : { &sensors.staticTable(), &sensors.dynamicTable() }) {
            for (const Terminal& channel : *table) {
                any = true;
                report.line(QStringLiteral("[") + model.name + QStringLiteral("] ") + channel.name
                    + QStringLiteral(": command ") + quoted(channel.command) + QStringLiteral(", shown as ")
                    + (channel.format.isEmpty() ? QStringLiteral("the value") : quoted(channel.format)));
            }
        }
    }
    if (!any)
        report.line(QStringLiteral("no channels defined"));
}

} // namespace

ConfigReport checkConfiguration(const QString& requested)
{
    ConfigReport result;
    Report report(result);
    QStringList messages;
    {
        const ReadersScope scope(&messages);
        // As start-up does: a path that is no regular file reads as missing.
        const QString path = configurationFileToRead(requested);
        result.lines << QStringLiteral("Configuration check of ") + quoted(requested);
        const bool isFile = QFileInfo(path).isFile();
        result.lines << (isFile ? QStringLiteral("The file is read.")
                                : QStringLiteral("No file to read: every default applies."));
        // A mistyped path must not pass a check that guards an install.
        if (!isFile)
            report.finding(quoted(requested) + QStringLiteral(" is no file the daemon would read"));

        setupDebugFromConfig(path);
        setupTarveloForce(path);
        setupMonitoringFromConfig(path);
        QSettings settings(path, QSettings::IniFormat);
        settings.setIniCodec("UTF-8");

        Readings readings(settings);
        readings.forced = tarveloEnabled;
        readings.monitor = envEnabled;
        readings.monitorPeriod = envIntervalMs;
        readings.probeBoard = readSerialBoardProbe(settings);
        readings.ports = readScanPorts(settings);
        // A section name no file can hold: only "Global/IntervalMs" counts.
        readings.globalInterval = readIntervalMs(settings, QStringLiteral("/"));
        readings.link = readDconLinkSettings(settings);
        readings.stateFile = readStateFilePath(settings);
        readings.health = readHealthConfig(settings);

        const std::vector<KeyRow> rows = keyTable();
        reportKeys(report, readings, rows);

        const std::vector<Model> models = knownModels();
        std::vector<Model> present;
        for (const Model& model : models) {
            const SectionName name = splitName(model.name);
            const QString group
                = name.prefix.isEmpty() ? name.section : name.section + QLatin1Char('/') + name.prefix.chopped(1);
            if (sectionPresent(settings, group))
                present.push_back(model);
        }
        reportUnknown(report, settings, rows, models);
        if (result.lines.last().endsWith(QLatin1Char(':')))
            report.line(QStringLiteral("none"));

        reportProbeOrder(report, readings);

        report.heading(QStringLiteral("Feed interval and watchdog timeout:"));
        reportInterval(report, QStringLiteral("Global"), readings.globalInterval);
        for (const Model& model : present)
            reportInterval(report, QStringLiteral("[") + model.name + ']', readIntervalMs(settings, model.name));

        reportVendors(report, settings, readings, present);
        reportMonitor(report, path, readings, present);
    }

    report.heading(QStringLiteral("Warnings the daemon would log:"));
    for (const QString& message : messages)
        report.finding(message);
    if (messages.isEmpty())
        report.line(QStringLiteral("none"));

    result.lines << QString()
                 << (result.findings == 0 ? QStringLiteral("Nothing to warn about.")
                                          : QString::number(result.findings) + QStringLiteral(" thing(s) to look at."));
    return result;
}
