#pragma once

#include <QString>

#include <sys/types.h>

// The test-mode marker lies in a world-writable directory, so any local user
// could create it and have the machine reset. It only counts when it is a
// regular file owned by root; anything else is left alone and reported once.
class TestMarker {
public:
    enum class State { Absent, Honoured, Ignored };

    /// Looks at @p path; logs the warning for an ignored marker once per file.
    State check(const QString& path);

private:
    bool warned = false;
    dev_t warnedDevice = 0;
    ino_t warnedInode = 0;
};
