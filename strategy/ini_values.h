#pragma once

#include "strategy/vendor_strategy.h"

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

// Readers of single values of the INI file, shared by every layer that takes
// settings from it. They decide how a text reads as a switch, a hexadecimal
// number or a register list, and warn where a value is dropped; which keys
// exist and what they mean is the business of their users.

/// The value of @p key ("Section/key"). Section and key names match whatever
/// their letter case in the file: [debug] is the section Debug.
QVariant configValue(const QSettings& settings, const QString& key, const QVariant& fallback = QVariant());
bool configContains(const QSettings& settings, const QString& key);

/// A value as the file writes it: one the INI reader split at its unquoted
/// commas into a list is joined again at them (blanks around the commas are
/// lost), where the list would read as an empty text.
QString configRawText(const QSettings& settings, const QString& key, const QString& fallback = QString());

/// A text value. An unquoted comma makes the INI reader split a value into a
/// list, which would read as an empty text and silently drop a command: such
/// a value is joined again at its commas, with a warning to quote it.
QString configText(const QSettings& settings, const QString& key, const QString& fallback = QString());

/// A switch value: "on", "true" (any letter case), "1" or anything that reads
/// as the decimal integer 1.
bool readSwitch(const QString& text);

/// An unsigned hexadecimal number with or without "0x"; false when unreadable.
bool parseHex(const QString& text, uint* value);
/// The same, 0 when unreadable.
uint readHex(const QString& text);

/// Register-list items "reg:val" (both hexadecimal, low 8 bits kept) to
/// register writes; items without exactly two pieces are skipped, items with
/// an unreadable number too, with a warning.
RegList parseCmds(const QStringList& list);
