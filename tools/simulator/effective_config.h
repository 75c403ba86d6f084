#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// An INI file edited as text: everything the user wrote reaches the daemon
// as written, except the keys set here. QSettings would rewrite every value
// in its own way on saving.
class IniText {
public:
    explicit IniText(const QString& text);

    // Section/key becomes @p value: each line of that key in that section
    // (section and key in any letter case, as the daemon matches them) goes,
    // and the new line follows the section's first header, or a new section
    // at the end of the file.
    void set(const QString& section, const QString& key, const QString& value);

    QString text() const;

private:
    struct Setting {
        QString section;
        QString key;
        QString value;
    };

    QStringList lines;
    std::vector<Setting> settings;
};
