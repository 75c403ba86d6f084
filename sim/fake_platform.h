#pragma once

#include "core/privileges.h"
#include "superio/port_io.h"

#include <cstdint>
#include <vector>

// One byte access to an I/O port, as a fake platform saw it.
struct PortAccess {
    enum class Kind { Read, Write };
    Kind kind;
    uint16_t port;
    uint8_t value;

    bool operator==(const PortAccess& other) const
    {
        return kind == other.kind && port == other.port && value == other.value;
    }
};

inline PortAccess portWrite(uint16_t port, uint8_t value)
{
    return { PortAccess::Kind::Write, port, value };
}
inline PortAccess portRead(uint16_t port, uint8_t value)
{
    return { PortAccess::Kind::Read, port, value };
}

// Privileges as configured, and a bus with nothing on it: every access is
// recorded (unless recording is off, for runs too long to keep a record),
// every read answers 0xFF. Subclasses answer reads like a chip.
class FakePlatform : public PortIo, public Privileges {
public:
    uid_t uid = 0;
    int ioplResult = 0;
    int ioplCalls = 0;
    bool recording = true;
    std::vector<PortAccess> trace;

    uid_t getuid() override { return uid; }
    int iopl(int level) override;
    void outb(uint8_t value, uint16_t port) override;
    uint8_t inb(uint16_t port) override;

protected:
    virtual void write(uint16_t port, uint8_t value);
    virtual uint8_t read(uint16_t port);
    // Called after each access was answered (and recorded).
    virtual void accessed(const PortAccess& access);
};
