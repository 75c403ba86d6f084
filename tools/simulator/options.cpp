#include "tools/simulator/options.h"

#include "core/config.h"
#include "serialctl/tarvelo_vendor.h"
#include "superio/fintek_vendor.h"
#include "superio/ite_vendor.h"
#include "superio/nuvoton_vendor.h"

#include <QStringList>

namespace {

using ChipVendor = SimulatorOptions::ChipVendor;

const char kDefaultBoard[] = "VLK2.3";
// A day: the run's time limit adds to it and stays far from overflowing.
constexpr int kLongestHealthDemo = 86400;
constexpr int kHealthDemoRunAfter = 60;

struct VendorTable {
    ChipVendor vendor;
    const char* name;
    const ChipTable& table;
};

// The daemon's own chip tables: every model it can name can be simulated.
const VendorTable kChipTables[] = {
    { ChipVendor::Fintek, "Fintek", fintek_ids },
    { ChipVendor::Ite, "ITE", ite_ids },
    { ChipVendor::Nuvoton, "Nuvoton/Winbond", nct_ids },
};

bool findChip(const QString& model, SimulatorOptions& options)
{
    for (const VendorTable& vendor : kChipTables) {
        for (const auto& [id, name] : vendor.table) {
            if (model.compare(QString::fromStdString(name), Qt::CaseInsensitive) == 0) {
                options.chipVendor = vendor.vendor;
                options.chipModel = name;
                // Nuvoton rows hold the id without its revision digit,
                // which a chip of revision 0 reports as it is.
                options.chipId = id;
                return true;
            }
        }
    }
    return false;
}

bool readCount(const QString& text, int* value)
{
    bool ok = false;
    *value = text.toInt(&ok, 10);
    return ok && *value >= 0;
}

} // namespace

ParsedCommandLine parseCommandLine(int argc, char** argv)
{
    ParsedCommandLine parsed;
    SimulatorOptions& options = parsed.options;
    const auto fail = [&parsed](const QString& error) {
        parsed.action = ParsedCommandLine::Action::Error;
        parsed.error = error;
        return parsed;
    };

    bool chipGiven = false;
    bool boardGiven = false;
    bool secondsGiven = false;
    for (int i = 1; i < argc; ++i) {
        QString name = QString::fromLocal8Bit(argv[i]);
        QString value;
        bool hasValue = false;
        const int equals = name.indexOf(QLatin1Char('='));
        if (name.startsWith(QLatin1String("--")) && equals > 0) {
            value = name.mid(equals + 1);
            name.truncate(equals);
            hasValue = true;
        }
        if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
            parsed.action = ParsedCommandLine::Action::Help;
            return parsed;
        }
        if (name == QLatin1String("--list")) {
            parsed.action = ParsedCommandLine::Action::List;
            return parsed;
        }
        if (name == QLatin1String("--debug")) {
            if (hasValue)
                return fail(QStringLiteral("--debug takes no value"));
            options.debug = true;
            continue;
        }
        static const QStringList withValue = { QStringLiteral("--chip"), QStringLiteral("--variant"),
            QStringLiteral("--base"), QStringLiteral("--board"), QStringLiteral("--config"),
            QStringLiteral("--write-config"), QStringLiteral("--log"), QStringLiteral("--test-file"),
            QStringLiteral("--seconds"), QStringLiteral("--test-after"), QStringLiteral("--health-demo"),
            QStringLiteral("--pid-file"), QStringLiteral("--state-file") };
        if (!withValue.contains(name))
            return fail(QStringLiteral("unknown option %1").arg(name));
        if (!hasValue) {
            if (++i == argc)
                return fail(QStringLiteral("%1 needs a value").arg(name));
            value = QString::fromLocal8Bit(argv[i]);
        }

        if (name == QLatin1String("--chip")) {
            chipGiven = true;
            options.chipVendor = ChipVendor::None;
            if (value.compare(QLatin1String("none"), Qt::CaseInsensitive) != 0 && !findChip(value, options))
                return fail(QStringLiteral("no chip model %1 (see --list)").arg(value));
        } else if (name == QLatin1String("--variant")) {
            if (value == QLatin1String("standard"))
                options.chipVariant = SimulatorOptions::ChipVariant::Standard;
            else if (value == QLatin1String("key-87-87"))
                options.chipVariant = SimulatorOptions::ChipVariant::Key8787;
            else if (value == QLatin1String("counter-16"))
                options.chipVariant = SimulatorOptions::ChipVariant::Counter16;
            else
                return fail(QStringLiteral("--variant is standard, key-87-87 or counter-16: %1").arg(value));
        } else if (name == QLatin1String("--base")) {
            uint base = 0;
            // The data port is the next one, so the last port cannot be a base.
            if (!parseHex(value, &base) || base == 0 || base > 0xFFFE)
                return fail(QStringLiteral("--base needs a port number in hex, 0x1 to 0xFFFE: %1").arg(value));
            options.base = static_cast<uint16_t>(base);
        } else if (name == QLatin1String("--board")) {
            boardGiven = true;
            if (value.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0) {
                options.boardCode.clear();
            } else {
                const QByteArray code = value.toUtf8();
                for (const char c : code) {
                    if (static_cast<unsigned char>(c) <= ' ')
                        return fail(QStringLiteral("a board code has no blanks or control characters: %1").arg(value));
                }
                if (code.isEmpty())
                    return fail(QStringLiteral("--board needs a model code or none"));
                options.boardCode = code.toStdString();
            }
        } else if (name == QLatin1String("--config")) {
            if (value.isEmpty())
                return fail(QStringLiteral("--config needs a file"));
            options.config = value;
        } else if (name == QLatin1String("--write-config")) {
            options.effectiveConfig = value;
        } else if (name == QLatin1String("--log")) {
            options.logFile = value;
        } else if (name == QLatin1String("--test-file")) {
            options.testFile = value;
        } else if (name == QLatin1String("--pid-file")) {
            options.pidFile = value;
        } else if (name == QLatin1String("--state-file")) {
            options.stateFile = value;
            options.keepState = true;
        } else if (name == QLatin1String("--seconds")) {
            secondsGiven = true;
            if (!readCount(value, &options.seconds))
                return fail(QStringLiteral("--seconds needs a whole number of seconds, 0 or more: %1").arg(value));
        } else if (name == QLatin1String("--test-after")) {
            if (!readCount(value, &options.testAfter))
                return fail(QStringLiteral("--test-after needs a whole number of seconds, 0 or more: %1").arg(value));
        } else if (name == QLatin1String("--health-demo")) {
            if (!readCount(value, &options.healthDemo) || options.healthDemo > kLongestHealthDemo)
                return fail(QStringLiteral("--health-demo needs a whole number of seconds, 0 to %1: %2")
                                .arg(kLongestHealthDemo)
                                .arg(value));
            options.keepState = true;
        }
    }
    // The check fails, and the watchdog resets the machine, some feeds and
    // a timeout after the application ended: more than the usual run.
    if (options.healthChecked() && !secondsGiven)
        options.seconds = options.healthDemo + kHealthDemoRunAfter;
    for (const QString* path :
        { &options.effectiveConfig, &options.logFile, &options.testFile, &options.pidFile, &options.stateFile }) {
        if (path->isEmpty())
            return fail(QStringLiteral("a file option needs a file name"));
    }
    if (options.chipVariant == SimulatorOptions::ChipVariant::Key8787 && options.chipVendor != ChipVendor::Nuvoton)
        return fail(QStringLiteral("--variant key-87-87 needs a Nuvoton/Winbond chip"));
    if (options.chipVariant == SimulatorOptions::ChipVariant::Counter16 && options.chipVendor != ChipVendor::Ite)
        return fail(QStringLiteral("--variant counter-16 needs an ITE chip"));
    if (!chipGiven && !boardGiven)
        options.boardCode = kDefaultBoard;
    return parsed;
}

QString helpText()
{
    return QStringLiteral(R"(Usage: wdt-simulator [options]

Runs the wdt-daemon code, from start-up to its exit code, against simulated
hardware: a Super I/O chip on a simulated port bus and/or the Tarvelo board
on a pseudo-terminal. No real I/O port, serial device or system file is
used. Besides the daemon's own lines it shows the simulated watchdog on
lines starting with [SIM]. Ctrl-C stops the daemon as SIGINT does.

Hardware (with neither --chip nor --board: the board VLK2.3 alone):
  --chip MODEL|none   a Super I/O chip by model name, e.g. IT8728F, NCT6776F,
                      F81866 (see --list); default none
  --variant VARIANT   a chip that differs from the drivers' built-in
                      sequences, to try the keys that correct them:
                      key-87-87   a Nuvoton/Winbond chip that opens only with
                                  0x87 0x87: not found until
                                  Vendor_Nuvoton/EnterKey=0x87,0x87
                      counter-16  an ITE chip with a 16-bit counter (0x73 low,
                                  0x74 high byte): armed with about 256 times
                                  the timeout until Vendor_ITE/CounterRegister
                                  =0x73 and lists that clear 0x74 (README,
                                  Hardware notes)
                      default standard
  --base PORT         its configuration port, hex; default 0x2E (the daemon
                      probes Global/ScanPorts: 0x2E, 0x4E by default)
  --board CODE|none   the controller board, answering with this model code:
                      VLK2.3, PQM, Z5 or any other; default none

Files (relative names are taken in the current directory):
  --config FILE       configuration to run; default: the example configuration
                      of the project with demo settings (below)
  --write-config FILE where the configuration the daemon reads is written: the
                      chosen one with Vendor_Tarvelo/Port set to the simulated
                      serial line; default wdt-simulator.ini
  --log FILE          the daemon's log file; default wdt-daemon.log
  --test-file FILE    the test-mode marker; default WDT_TEST
  --pid-file FILE     the pid file of the --health-demo application; default
                      wdt-app.pid
  --state-file FILE   Global/StateFile in the configuration: where the daemon
                      keeps why a run ended, read at the next run; default
                      wdt-state with --health-demo, else the configuration's

Run:
  --seconds N         stop the daemon as Ctrl-C does after N seconds;
                      default 10, 0 runs until Ctrl-C
  --test-after N      create the test marker after N seconds: feeding stops
                      and the watchdog resets the simulated machine one
                      timeout later, which ends the run. The daemon takes a
                      marker only when root owns it, so run this as root.
  --health-demo N     start a stand-in for the control application,
                      /bin/sleep N, before the daemon; write its pid to the
                      --pid-file, and [Health] PidFile= that file and
                      Failures=2 and a --state-file into the configuration.
                      Shown: the application's end, a warning at the next
                      feed, the critical line at the second, feeding
                      stopped and the reset one timeout after the last
                      feed, which ends the run (without --seconds it lasts
                      up to N + 60 s). Run again with the same state file
                      (the same options, or --state-file alone) to see the
                      line about the previous run before "Запуск Watchdog".
  --debug             switch the daemon's debug lines on (Debug/Enabled=on)
  --list              list the chip models and board codes, then exit
  -h, --help          show this text, then exit

Demo settings, used without --config: for the board the watchdog templates
~%1ws, ~%1wp, ~%1wf and ~%1wt%2, monitoring every 3 s, and the channels
Watchdog hits, CPU and board temperature and fan speed in its model's section;
for a Fintek chip the key 0x87,0x87 and the register lists of the example.

The simulated board understands (AA: its address, nn: hex):
  &AAM identify, ~AAWS arm, ~AAWTnn set the timeout to nn seconds,
  ~AAWF feed, ~AAWP disarm; $AARH watchdog resets so far, $AART0 CPU and
  $AART1 board temperature, $AARF0 fan speed. It arms with 60 s until a
  timeout is set.

A reset keeps the state file as it was at that moment, as on a machine that
restarts: the simulator writes it back after the daemon's stop in order,
which wrote state=stopped.

The simulated watchdog counts down from the timeout written to it: the
counter register (Fintek 0xF6 in logical device 7 with enable bit 5 of 0xF5,
ITE 0x74 in device 7, Nuvoton 0xF6 in device 8; 0 disarms) or the board's
commands. The counter-16 chip counts 0x74 * 256 + 0x73, taken at the end of
each configuration session.

Exit code: the daemon's (0 after a stop, 1 when it refuses to run), or 2
for a usage error.
)");
}

QString listText()
{
    QString text = QStringLiteral("Super I/O chips (--chip):\n");
    for (const VendorTable& vendor : kChipTables) {
        text += QStringLiteral("  %1:").arg(QLatin1String(vendor.name));
        for (const auto& [id, name] : vendor.table)
            text += QStringLiteral(" %1").arg(QString::fromStdString(name));
        text += QLatin1Char('\n');
    }
    text += QStringLiteral("Board codes (--board), any other code is a Generic_Tarvelo:\n");
    for (const auto& [code, model] : tarvelo_ids)
        text += QStringLiteral("  %1 %2\n").arg(QString::fromStdString(code), QString::fromStdString(model));
    return text;
}
