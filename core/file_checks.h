#pragma once

#include <QSettings>
#include <QString>

/// The configuration path to read. A path that exists but is not a regular
/// file (a FIFO would block every reader's open until a writer comes, a
/// directory or a device reads as garbage or never ends) reads as a missing
/// file: one warning, and the result is a path that no reader finds.
/// Otherwise, a regular file or nothing at all, @p path itself.
QString configurationFileToRead(const QString& path);

/// The file that the key @p key of @p settings names, for the daemon to
/// write: an empty text when the key is absent or empty. A path that is not
/// absolute, or names a directory, is ignored with a warning: the daemon's
/// working directory is no place anyone looks.
QString readFilePathKey(const QSettings& settings, const QString& key);
