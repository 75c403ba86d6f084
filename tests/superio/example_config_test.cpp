// The shipped example configuration: its commented lines must say what the
// daemon really does once they are uncommented.

#include "core/config.h"
#include "sim/superio_simulator.h"
#include "superio/fintek_vendor.h"
#include "superio/ite_vendor.h"
#include "superio/nuvoton_vendor.h"

#include "port_traces.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

const QString kExample = QStringLiteral(WDT_EXAMPLE_CONFIG);

QString exampleText()
{
    QFile file(kExample);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The example with every commented "Key=value" and "[Section]" line made
// active; prose comments ("; text") stay comments.
class Uncommented {
public:
    Uncommented()
    {
        QString text = exampleText();
        text.replace(
            QRegularExpression(QStringLiteral("^;(?=\\[[^\\]]+\\]|\\w+=)"), QRegularExpression::MultilineOption),
            QString());
        QFile file(path());
        if (file.open(QIODevice::WriteOnly))
            file.write(text.toUtf8());
    }
    QString path() const { return dir.filePath(QStringLiteral("wdt.ini")); }

private:
    QTemporaryDir dir;
};

const QStringList kSuperIoSections { QStringLiteral("Global"), QStringLiteral("Debug"), QStringLiteral("Vendor_Fintek"),
    QStringLiteral("Vendor_ITE"), QStringLiteral("Vendor_Nuvoton") };

TEST(ExampleConfig, AsShippedItChangesNoDefault)
{
    ASSERT_FALSE(exampleText().isEmpty()) << kExample.toStdString();
    const QSettings settings(kExample, QSettings::IniFormat);
    for (const QString& key : settings.allKeys())
        EXPECT_FALSE(kSuperIoSections.contains(key.section(QLatin1Char('/'), 0, 0), Qt::CaseInsensitive))
            << key.toStdString();
}

TEST(ExampleConfig, CommentedGlobalValuesAreTheDefaults)
{
    Uncommented example;
    QSettings settings(example.path(), QSettings::IniFormat);
    EXPECT_EQ(readScanPorts(settings), (std::vector<uint16_t> { 0x2E, 0x4E }));
    EXPECT_EQ(readIntervalMs(settings, QStringLiteral("NoSuchModel")), 3000);
    EXPECT_FALSE(readSwitch(configValue(settings, QStringLiteral("Global/ForceTarvelo")).toString()));
    EXPECT_FALSE(readSwitch(configValue(settings, QStringLiteral("Debug/Enabled")).toString()));
    EXPECT_EQ(readVendorConfig(settings, QStringLiteral("Fintek")).exitKey, 0xAA);
}

// What a driver writes for start and stop at 0x2E with the given vendor
// section of a configuration file.
Accesses startAndStop(IVendorStrategy& driver, const QString& path, const char* vendor)
{
    FakePlatform bus;
    ScopedPortIo installed(bus);
    LogCapture quiet;
    const QSettings settings(path, QSettings::IniFormat);
    driver.setConfig(readVendorConfig(settings, QLatin1String(vendor)));
    driver.wdt_start(0x2E, 9);
    driver.wdt_stop(0x2E);
    return bus.trace;
}

TEST(ExampleConfig, IteAndNuvotonListsAreTheBuiltInSequences)
{
    Uncommented example;
    QTemporaryDir empty;
    const QString none = empty.filePath(QStringLiteral("none.ini"));
    {
        IteVendor listed, builtIn;
        EXPECT_EQ(startAndStop(listed, example.path(), "ITE"), startAndStop(builtIn, none, "ITE"));
    }
    {
        NuvotonVendor listed, builtIn;
        EXPECT_EQ(startAndStop(listed, example.path(), "Nuvoton"), startAndStop(builtIn, none, "Nuvoton"));
    }
}

TEST(ExampleConfig, FintekExampleEnablesAndDisablesTheWatchdog)
{
    Uncommented example;
    const QSettings settings(example.path(), QSettings::IniFormat);
    SuperIoBus bus;
    ScopedPortIo installed(bus);
    SimulatedSuperIo& chip = bus.add(SimulatedSuperIo::fintek(0x2E, 0x1010));
    LogCapture log;
    FintekVendor driver;
    driver.setConfig(readVendorConfig(settings, QStringLiteral("Fintek")));

    ASSERT_TRUE(driver.probe(0x2E));
    driver.wdt_start(0x2E, 9);
    EXPECT_EQ(chip.reg(0x07, 0x30), 0x01);
    EXPECT_EQ(chip.reg(0x07, 0xF5), 0x20);
    EXPECT_EQ(chip.reg(0x07, 0xF6), 9);
    // Something else selects another logical device in between; the feed
    // must still reach the watchdog's counter.
    for (const uint8_t byte : { 0x87, 0x87, 0x07 })
        bus.outb(byte, 0x2E);
    bus.outb(0x02, 0x2F);
    bus.outb(0xAA, 0x2E);
    ASSERT_EQ(chip.selectedDevice(), 0x02);
    driver.wdt_feed(0x2E, 8);
    EXPECT_EQ(chip.reg(0x07, 0xF6), 8);
    driver.wdt_stop(0x2E);
    EXPECT_EQ(chip.reg(0x07, 0xF5), 0x00);
    EXPECT_FALSE(chip.unlocked());
    EXPECT_TRUE(log.lines().filter(QStringLiteral("[WARN ]")).isEmpty());
}

} // namespace
