#include "superio/port_io.h"

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define WDT_HAVE_PORT_IO 1
#endif

namespace {

class SystemPortIo final : public PortIo {
public:
    void outb(uint8_t value, uint16_t port) override
    {
#ifdef WDT_HAVE_PORT_IO
        ::outb(value, port);
#else
        (void)value;
        (void)port;
#endif
    }

    uint8_t inb(uint16_t port) override
    {
#ifdef WDT_HAVE_PORT_IO
        return ::inb(port);
#else
        (void)port;
        return 0xFF;
#endif
    }
};

SystemPortIo systemLayer;
PortIo* installed = &systemLayer;

} // namespace

PortIo& systemPortIo()
{
    return systemLayer;
}

PortIo& portIo()
{
    return *installed;
}

PortIo* setPortIo(PortIo* replacement)
{
    PortIo* const before = installed;
    installed = replacement ? replacement : &systemLayer;
    return before;
}
