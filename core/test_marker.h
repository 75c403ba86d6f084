#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// The test-mode marker lies in a world-writable directory, so any local user
// could create it and have the machine reset. It only counts when it is a
// regular file of the required owner (root on a real machine); anything else
// is left alone and reported once.
class TestMarker {
public:
    enum class State { Absent, Honoured, Ignored };

    TestMarker(const QString& path, uid_t requiredOwner);

    /// Looks at the marker; logs the warning for an ignored one once per file.
    State check();

private:
    QString path;
    // Encoded once: the check runs on every feed tick.
    QByteArray encodedPath;
    uid_t requiredOwner;
    bool warned = false;
    dev_t warnedDevice = 0;
    ino_t warnedInode = 0;
};
