#pragma once

#include <QString>

// Settings that the example configuration (etc/wdt.ini) carries commented
// out and that simulated runs put in force: the benchmarks and the
// simulator's demonstration. Kept here once so that they all drive the same
// sequences as the example.

struct IniSetting {
    const char* key;
    const char* value;
};

// The Fintek driver has no key and no sequence of its own: without these it
// cannot unlock a chip and never finds one. The chip is unlocked by 0x87
// written twice; the watchdog of logical device 7 is activated, set to the
// longest count until the daemon writes the real timeout, and enabled with
// the counter in seconds; a feed selects the device again before the daemon
// reloads the counter; the stop clears the enable bit. The example's exit
// key is the default one, 0xAA.
inline constexpr char kExampleFintekSection[] = "Vendor_Fintek";
inline constexpr IniSetting kExampleFintekSettings[] = {
    { "EnterKey", "0x87,0x87" },
    { "StartCmds", "0x07:0x07,0x30:0x01,0xF6:0xFF,0xF5:0x20" },
    { "FeedCmds", "0x07:0x07" },
    { "StopCmds", "0x07:0x07,0xF5:0x00" },
};

/// The Fintek settings above as a section of an INI file.
inline QString exampleFintekIni()
{
    QString ini = QStringLiteral("[%1]\n").arg(QLatin1String(kExampleFintekSection));
    for (const IniSetting& setting : kExampleFintekSettings)
        ini += QStringLiteral("%1=%2\n").arg(QLatin1String(setting.key), QLatin1String(setting.value));
    return ini;
}
