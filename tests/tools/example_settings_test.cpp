#include "sim/example_settings.h"
#include "support/qt_printers.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

// The "Key=value" lines the example configuration leaves commented out in
// one section.
QMap<QString, QString> commentedSettings(const QString& section)
{
    QFile file(QStringLiteral(WDT_EXAMPLE_CONFIG));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QMap<QString, QString> settings;
    bool inSection = false;
    static const QRegularExpression commented(QStringLiteral("^;(\\w+)=(.*)$"));
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('[')))
            inSection = line == QLatin1Char('[') + section + QLatin1Char(']');
        const QRegularExpressionMatch match = commented.match(line);
        if (inSection && match.hasMatch())
            settings.insert(match.captured(1), match.captured(2));
    }
    return settings;
}

// The benchmarks and the simulator must drive a Fintek chip as the example
// tells the user to.
TEST(ExampleSettings, FintekSettingsAreThoseOfTheExampleConfiguration)
{
    const QMap<QString, QString> example = commentedSettings(QLatin1String(kExampleFintekSection));
    ASSERT_FALSE(example.isEmpty());
    for (const IniSetting& setting : kExampleFintekSettings)
        EXPECT_EQ(example.value(QLatin1String(setting.key)), QLatin1String(setting.value)) << setting.key;
    EXPECT_EQ(example.value(QStringLiteral("ExitKey")), QStringLiteral("0xAA"));
}

} // namespace
