#pragma once

#include <QString>

#include <cstdint>
#include <string>

// What the user asked the simulator for.
struct SimulatorOptions {
    enum class ChipVendor { None, Fintek, Ite, Nuvoton };
    // Parts that differ from what the drivers' built-in sequences assume.
    enum class ChipVariant {
        Standard,
        // A Nuvoton/Winbond chip that opens only with 0x87 0x87.
        Key8787,
        // An ITE chip with a 16-bit counter: 0x73 low byte, 0x74 high byte.
        Counter16,
    };

    ChipVendor chipVendor = ChipVendor::None;
    ChipVariant chipVariant = ChipVariant::Standard;
    std::string chipModel;
    uint16_t chipId = 0;
    uint16_t base = 0x2E;

    // Empty: no board on the serial line.
    std::string boardCode;

    // Empty: the example configuration, with the demo settings.
    QString config;
    QString effectiveConfig = QStringLiteral("wdt-simulator.ini");
    QString logFile = QStringLiteral("wdt-daemon.log");
    QString testFile = QStringLiteral("WDT_TEST");
    QString pidFile = QStringLiteral("wdt-app.pid");
    QString stateFile = QStringLiteral("wdt-state");
    // Global/StateFile is set to stateFile (--state-file or --health-demo).
    bool keepState = false;

    // 0: until Ctrl-C.
    int seconds = 10;
    // Negative: never.
    int testAfter = -1;
    // Seconds the stand-in application lives; negative: none is started.
    int healthDemo = -1;
    bool debug = false;

    bool demo() const { return config.isEmpty(); }
    bool healthChecked() const { return healthDemo >= 0; }
};

// The outcome of reading the command line.
struct ParsedCommandLine {
    enum class Action { Run, Help, List, Error };
    Action action = Action::Run;
    SimulatorOptions options;
    QString error;
};

ParsedCommandLine parseCommandLine(int argc, char** argv);

QString helpText();
/// The chip models and board codes the simulator offers.
QString listText();
