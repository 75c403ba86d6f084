#include "strategy/ini_values.h"

#include <QDebug>

namespace {

bool readsAsDecimalOne(const QString& text)
{
    bool ok = false;
    return text.toInt(&ok) == 1 && ok;
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

namespace {

QString joinedText(const QVariant& value)
{
    return value.userType() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(',')) : value.toString();
}

} // namespace

QString configRawText(const QSettings& settings, const QString& key, const QString& fallback)
{
    return joinedText(configValue(settings, key, fallback));
}

QString configText(const QSettings& settings, const QString& key, const QString& fallback)
{
    const QVariant value = configValue(settings, key, fallback);
    if (value.userType() != QMetaType::QStringList)
        return value.toString();
    const QString joined = joinedText(value);
    qWarning().nospace() << "Value of " << key << " contains a comma and is read as " << joined
                         << "; write it in double quotes";
    return joined;
}

bool readSwitch(const QString& text)
{
    return text.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0
        || text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || readsAsDecimalOne(text);
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
        cmds.push_back(RegValue { static_cast<uint8_t>(reg & 0xFF), static_cast<uint8_t>(val & 0xFF) });
    }
    return cmds;
}
