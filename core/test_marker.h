#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// The test-mode marker lies in a world-writable directory, so any local user
// could create it and have the machine reset. It only counts when it is a
// regular file owned by root; anything else is left alone and reported once.
class TestMarker {
public:
    enum class State { Absent, Honoured, Ignored };

    explicit TestMarker(const QString& path);

    /// Looks at the marker; logs the warning for an ignored one once per file.
    State check();

private:
    QString path;
    // Encoded once: the check runs on every feed tick.
    QByteArray encodedPath;
    bool warned = false;
    dev_t warnedDevice = 0;
    ino_t warnedInode = 0;
};
