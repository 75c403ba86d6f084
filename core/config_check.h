#pragma once

#include <QString>
#include <QStringList>

// What the daemon would make of a configuration file, told before it is
// trusted with a machine: read by the daemon's own readers (their warnings
// caught on the way), and nothing but the file touched.
struct ConfigReport {
    QStringList lines;
    // Warnings of the readers, unknown keys and sections, switch words that
    // are not switch words, and settings that leave the machine unsupervised
    // or armed after a stop.
    int findings = 0;

    /// 0 when there is nothing to warn about, 1 otherwise.
    int exitCode() const { return findings == 0 ? 0 : 1; }
};

/// The report on the configuration file @p path. Reads no other file and
/// touches no port, serial device, log file or test marker; the daemon's
/// globals and the message handler are as before when it returns.
ConfigReport checkConfiguration(const QString& path);
