#pragma once

#include <sys/types.h>

#include <cstdint>

/**
 * The daemon's only door to privileges and x86 port I/O.
 *
 * Production uses the real system calls; tests install a fake that records
 * every port access and answers reads like a simulated chip. Only the Super
 * I/O configuration-space helpers call inb()/outb(); the start-up checks call
 * getuid()/iopl().
 */
class Platform {
public:
    virtual ~Platform() = default;

    virtual uid_t getuid() = 0;
    /// Returns 0 on success, -1 with errno set on failure, like iopl(2).
    virtual int iopl(int level) = 0;
    virtual void outb(uint8_t value, uint16_t port) = 0;
    virtual uint8_t inb(uint16_t port) = 0;
};

/// The platform in use: the real one unless a test installed another.
Platform& platform();

/// Installs @p replacement (not owned); nullptr restores the real platform.
void setPlatform(Platform* replacement);
