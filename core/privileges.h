#pragma once

#include <sys/types.h>

/**
 * The privilege checks of start-up: the daemon runs only as root and only
 * with I/O privilege level 3.
 *
 * Production uses the real system calls; tests pass a fake that grants or
 * refuses them.
 */
class Privileges {
public:
    virtual ~Privileges() = default;

    virtual uid_t getuid() = 0;
    /// Returns 0 on success, -1 with errno set on failure, like iopl(2).
    virtual int iopl(int level) = 0;
};

/// The real getuid(2) and iopl(2).
Privileges& systemPrivileges();
