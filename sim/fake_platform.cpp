#include "sim/fake_platform.h"

#include <cerrno>

int FakePlatform::iopl(int level)
{
    ++ioplCalls;
    if (level != 3 || ioplResult != 0) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

void FakePlatform::outb(uint8_t value, uint16_t port)
{
    const PortAccess access = portWrite(port, value);
    if (recording)
        trace.push_back(access);
    write(port, value);
    accessed(access);
}

uint8_t FakePlatform::inb(uint16_t port)
{
    const PortAccess access = portRead(port, read(port));
    if (recording)
        trace.push_back(access);
    accessed(access);
    return access.value;
}

void FakePlatform::write(uint16_t, uint8_t) { }

uint8_t FakePlatform::read(uint16_t)
{
    return 0xFF;
}

void FakePlatform::accessed(const PortAccess&) { }
