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
    trace.push_back(portWrite(port, value));
    write(port, value);
}

uint8_t FakePlatform::inb(uint16_t port)
{
    const uint8_t value = read(port);
    trace.push_back(portRead(port, value));
    return value;
}

void FakePlatform::write(uint16_t, uint8_t) {}

uint8_t FakePlatform::read(uint16_t)
{
    return 0xFF;
}
