#include "tools/simulator/effective_config.h"

#include <QSet>

namespace {

bool isComment(const QString& trimmed)
{
    return trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#'));
}

// The name of a section header line, or nothing.
bool sectionHeader(const QString& trimmed, QString* name)
{
    if (!trimmed.startsWith(QLatin1Char('[')) || !trimmed.contains(QLatin1Char(']')))
        return false;
    *name = trimmed.mid(1, trimmed.indexOf(QLatin1Char(']')) - 1).trimmed();
    return true;
}

bool sameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

IniText::IniText(const QString& text)
    : lines(text.split(QLatin1Char('\n')))
{
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
}

void IniText::set(const QString& section, const QString& key, const QString& value)
{
    for (Setting& setting : settings) {
        if (sameName(setting.section, section) && sameName(setting.key, key)) {
            setting.value = value;
            return;
        }
    }
    settings.push_back(Setting { section, key, value });
}

QString IniText::text() const
{
    const auto settingsOf = [this](const QString& section) {
        QStringList assigned;
        for (const Setting& setting : settings) {
            if (sameName(setting.section, section))
                assigned << setting.key + QLatin1Char('=') + setting.value;
        }
        return assigned;
    };
    const auto isSet = [this](const QString& section, const QString& key) {
        for (const Setting& setting : settings) {
            if (sameName(setting.section, section) && sameName(setting.key, key))
                return true;
        }
        return false;
    };

    QStringList out;
    QSet<QString> written;
    QString section;
    for (const QString& line : lines) {
        const QString trimmed = line.trimmed();
        QString name;
        if (sectionHeader(trimmed, &name)) {
            section = name;
            out << line;
            const QString folded = name.toLower();
            if (!written.contains(folded)) {
                written.insert(folded);
                const QStringList assigned = settingsOf(name);
                if (!assigned.isEmpty())
                    out << QStringLiteral("; set by wdt-simulator:") << assigned;
            }
            continue;
        }
        const int equals = trimmed.indexOf(QLatin1Char('='));
        if (!isComment(trimmed) && equals > 0 && isSet(section, trimmed.left(equals).trimmed()))
            out << QStringLiteral("; replaced by wdt-simulator: ") + line;
        else
            out << line;
    }
    for (const Setting& setting : settings) {
        const QString folded = setting.section.toLower();
        if (written.contains(folded))
            continue;
        written.insert(folded);
        out << QString() << QStringLiteral("; set by wdt-simulator:")
            << QLatin1Char('[') + setting.section + QLatin1Char(']') << settingsOf(setting.section);
    }
    return out.join(QLatin1Char('\n')) + QLatin1Char('\n');
}
