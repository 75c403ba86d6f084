#include "tools/simulator/simulation.h"

#include "core/candidates.h"
#include "core/config.h"
#include "serialctl/tarvelo_vendor.h"
#include "sim/board_simulator.h"
#include "sim/dcon_board.h"
#include "sim/example_settings.h"
#include "sim/in_process_daemon.h"
#include "sim/superio_simulator.h"
#include "sim/superio_watchdog.h"
#include "tools/simulator/effective_config.h"
#include "tools/simulator/health_demo.h"
#include "tools/simulator/status_reporter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cstdio>
#include <memory>
#include <optional>

namespace {

using ChipVendor = SimulatorOptions::ChipVendor;
using ChipVariant = SimulatorOptions::ChipVariant;

const char* variantNote(ChipVariant variant)
{
    switch (variant) {
    case ChipVariant::Key8787:
        return ", opens only with 0x87 0x87";
    case ChipVariant::Counter16:
        return ", 16-bit counter: 0x73 low byte, 0x74 high byte";
    case ChipVariant::Standard:
        break;
    }
    return "";
}

QString hex(uint value, int digits)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

std::string boardModel(const std::string& code)
{
    const auto row = tarvelo_ids.find(code);
    return row == tarvelo_ids.end() ? "Generic_Tarvelo" : row->second;
}

// Few enough that the reset comes soon, more than one so that a warning
// comes before the critical line.
constexpr int kHealthDemoFailures = 2;

// What the example configuration leaves commented out but a demonstration
// needs: a board is sent nothing without templates and shows nothing without
// channels, and a Fintek chip stays locked without its key.
constexpr IniSetting kDemoBoardSettings[] = {
    { "StartCmds", "~%1ws" },
    { "StopCmds", "~%1wp" },
    { "FeedCmds", "~%1wf" },
    { "SetCmds", "~%1wt%2" },
    { "EnvMonitor", "on" },
    { "EnvIntervalMs", "3000" },
};
constexpr IniSetting kDemoChannels[] = {
    { "HitWDTCmds", "$%1RH:Watchdog hits: %1" },
    { "Term0Cmds", "$%1RT0:CPU %1 °C" },
    { "Term1Cmds", "$%1RT1:Board %1 °C" },
    { "Cool0Cmds", "$%1RF0:Fan 1: %1 rpm" },
};

template <size_t N> void setAll(IniText& ini, const QString& section, const IniSetting (&settings)[N])
{
    for (const IniSetting& setting : settings)
        ini.set(section, QString::fromUtf8(setting.key), QString::fromUtf8(setting.value));
}

bool addDemoSettings(const SimulatorOptions& options, IniText& ini)
{
    bool added = false;
    if (!options.boardCode.empty()) {
        added = true;
        setAll(ini, QStringLiteral("Vendor_Tarvelo"), kDemoBoardSettings);
        setAll(ini, QString::fromStdString(boardModel(options.boardCode)), kDemoChannels);
    }
    if (options.chipVendor == ChipVendor::Fintek) {
        added = true;
        setAll(ini, QLatin1String(kExampleFintekSection), kExampleFintekSettings);
    }
    return added;
}

// The configuration the daemon reads: the chosen one, with the serial port
// on the simulated line, so that the daemon never opens a real device.
bool writeEffectiveConfig(const SimulatorOptions& options, const QString& source, const QString& target,
    const QString& line, bool* demoAdded, QString* error)
{
    if (QFileInfo(source).absoluteFilePath() == QFileInfo(target).absoluteFilePath()) {
        *error = QStringLiteral("--config and --write-config name the same file: %1").arg(target);
        return false;
    }
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the configuration %1").arg(source);
        return false;
    }
    IniText ini(QString::fromUtf8(in.readAll()));
    ini.set(QStringLiteral("Vendor_Tarvelo"), QStringLiteral("Port"), line);
    *demoAdded = options.demo() && addDemoSettings(options, ini);
    if (options.debug)
        ini.set(QStringLiteral("Debug"), QStringLiteral("Enabled"), QStringLiteral("on"));
    if (options.healthChecked()) {
        ini.set(QStringLiteral("Health"), QStringLiteral("PidFile"), QFileInfo(options.pidFile).absoluteFilePath());
        ini.set(QStringLiteral("Health"), QStringLiteral("Failures"), QString::number(kHealthDemoFailures));
    }
    if (options.keepState)
        ini.set(QStringLiteral("Global"), QStringLiteral("StateFile"), QFileInfo(options.stateFile).absoluteFilePath());

    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || out.write(
               (QStringLiteral("; Written by wdt-simulator from %1 for one run.\n").arg(source) + ini.text()).toUtf8())
            < 0) {
        *error = QStringLiteral("cannot write %1").arg(target);
        return false;
    }
    out.close();

    // Read back the way the daemon reads it: an edit that missed would send
    // the daemon to a real serial device.
    QSettings settings(target, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    if (configText(settings, QStringLiteral("Vendor_Tarvelo/Port")) != line) {
        *error = QStringLiteral("could not point Vendor_Tarvelo/Port in %1 at the simulated line").arg(target);
        return false;
    }
    return true;
}

// The state file the daemon will keep, found without the daemon's warning
// about an unusable one, which the daemon gives itself.
QString stateFileOf(const QString& config)
{
    QSettings settings(config, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    const QString path = configText(settings, QStringLiteral("Global/StateFile")).trimmed();
    return QDir::isAbsolutePath(path) && !path.endsWith(QLatin1Char('/')) ? path : QString();
}

int boardAddress(const QString& config)
{
    QSettings settings(config, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    return static_cast<int>(
        readHex(configValue(settings, QStringLiteral("Vendor_Tarvelo/Address"), QStringLiteral("1")).toString()));
}

std::unique_ptr<SimulatedSuperIo> makeChip(const SimulatorOptions& options, SuperIoWatchdog::Layout* layout)
{
    switch (options.chipVendor) {
    case ChipVendor::Fintek:
        *layout = SuperIoWatchdog::Layout::fintek();
        return SimulatedSuperIo::fintek(options.base, options.chipId);
    case ChipVendor::Ite:
        *layout = options.chipVariant == ChipVariant::Counter16 ? SuperIoWatchdog::Layout::ite16()
                                                                : SuperIoWatchdog::Layout::ite();
        return SimulatedSuperIo::ite(options.base, options.chipId);
    case ChipVendor::Nuvoton:
        *layout = SuperIoWatchdog::Layout::nuvoton();
        return options.chipVariant == ChipVariant::Key8787
            ? SimulatedSuperIo::nuvotonKey8787(options.base, options.chipId)
            : SimulatedSuperIo::nuvoton(options.base, options.chipId);
    case ChipVendor::None:
        break;
    }
    return nullptr;
}

void say(const QString& text)
{
    StatusReporter::say(text.toStdString());
}

} // namespace

int runSimulation(const SimulatorOptions& options, const char* programName)
{
    // The serial line exists in any case: with no board on it the daemon's
    // probe meets silence, as on a machine whose serial port is free.
    BoardSimulator line;
    if (!line.ok()) {
        std::fprintf(stderr, "wdt-simulator: cannot create a pseudo-terminal\n");
        return 2;
    }
    const QString linePath = QString::fromStdString(line.portName());
    const QString source
        = QFileInfo(options.demo() ? QStringLiteral(WDT_EXAMPLE_CONFIG) : options.config).absoluteFilePath();
    const QString config = QFileInfo(options.effectiveConfig).absoluteFilePath();
    QString error;
    bool demoAdded = false;
    if (!writeEffectiveConfig(options, source, config, linePath, &demoAdded, &error)) {
        std::fprintf(stderr, "wdt-simulator: %s\n", qUtf8Printable(error));
        return 2;
    }

    WatchdogCountdown countdown;
    // Root, I/O privilege, and the chip (if any) on the bus. Nobody reads
    // the record of accesses here, and a long run must not keep growing it.
    SuperIoBus bus;
    bus.recording = false;
    SuperIoWatchdog::Layout layout {};
    std::unique_ptr<SuperIoWatchdog> chipWatchdog;
    if (auto chip = makeChip(options, &layout))
        chipWatchdog = std::make_unique<SuperIoWatchdog>(bus.add(std::move(chip)), layout, countdown);

    std::optional<DconBoard> board;
    const int address = boardAddress(config);
    if (!options.boardCode.empty()) {
        board.emplace(options.boardCode, address, countdown);
        line.respond([&board](const std::string& request) -> std::optional<BoardSimulator::Reply> {
            if (const auto reply = board->answer(request))
                return BoardSimulator::Reply::line(*reply);
            return std::nullopt;
        });
    }

    InProcessDaemon daemon;
    DaemonEnvironment environment = daemon.environment();
    environment.logFile = QFileInfo(options.logFile).absoluteFilePath();
    environment.configFile = config;
    environment.testFile = QFileInfo(options.testFile).absoluteFilePath();
    // The simulated machine runs no kernel driver of its own on the ports.
    environment.modulesFile = QStringLiteral("/dev/null");
    environment.portIo = &bus;
    environment.privileges = &bus;
    // As on a real machine, only root's marker stops the feeding.
    environment.markerOwner = 0;
    daemon.setEnvironment(environment);

    say(options.chipVendor == ChipVendor::None
            ? QStringLiteral("Super I/O chip: none")
            : QStringLiteral("Super I/O chip: %1 (id %2) at %3%4")
                  .arg(QString::fromStdString(options.chipModel), hex(options.chipId, 4), hex(options.base, 2),
                      QLatin1String(variantNote(options.chipVariant))));
    say(options.boardCode.empty()
            ? QStringLiteral("serial line: %1, no board on it").arg(linePath)
            : QStringLiteral("serial line: %1, board %2 (%3) at address %4")
                  .arg(linePath, QString::fromStdString(options.boardCode),
                      QString::fromStdString(boardModel(options.boardCode)), dconAddressText(address)));
    say(QStringLiteral("configuration: %1, a copy of %2 with Vendor_Tarvelo/Port on the serial line%3")
            .arg(config, source, demoAdded ? QStringLiteral(" and demo settings") : QString()));
    say(QStringLiteral("log: %1, test marker: %2").arg(environment.logFile, environment.testFile));
    std::unique_ptr<StandInApplication> application;
    if (options.healthChecked()) {
        const QString pidFile = QFileInfo(options.pidFile).absoluteFilePath();
        application = StandInApplication::start(options.healthDemo, pidFile, &error);
        if (!application) {
            std::fprintf(stderr, "wdt-simulator: %s\n", qUtf8Printable(error));
            return 2;
        }
        say(QStringLiteral("application under watch: /bin/sleep %1 as pid %2, in %3; [Health] PidFile=%3, "
                           "Failures=%4")
                .arg(options.healthDemo)
                .arg(application->pid())
                .arg(pidFile)
                .arg(kHealthDemoFailures));
    }
    const QString stateFile = stateFileOf(config);
    ResetState resetState(stateFile);
    if (!stateFile.isEmpty())
        say(QStringLiteral("state file: %1, kept as it is at a reset").arg(stateFile));
    say(options.seconds > 0 ? QStringLiteral("running for %1 s; Ctrl-C stops earlier").arg(options.seconds)
                            : QStringLiteral("running until Ctrl-C"));

    StatusReporter::Settings settings;
    settings.seconds = options.seconds;
    settings.testAfter = options.testAfter;
    settings.testFile = environment.testFile;
    // The line's record of requests is for tests; here it would only grow.
    settings.everySecond = [&line] { line.clearRecord(); };
    if (application)
        settings.everyLook = [&application] { return application->collect(); };
    settings.atReset = [&resetState] { return resetState.take(); };
    StatusReporter reporter(countdown, settings);

    const int exitCode = daemon.run(productionParts(), false, programName);

    reporter.finish(exitCode);
    const std::string kept = resetState.restore();
    if (!kept.empty())
        StatusReporter::say(kept);
    // The board goes before the line does.
    line.respond(nullptr);
    return exitCode;
}
