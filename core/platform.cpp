#include "core/platform.h"

#include <cerrno>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define WDT_HAVE_PORT_IO 1
#endif

namespace {

class RealPlatform final : public Platform {
public:
    uid_t getuid() override { return ::getuid(); }

    int iopl(int level) override
    {
#ifdef WDT_HAVE_PORT_IO
        return ::iopl(level);
#else
        (void)level;
        errno = ENOSYS;
        return -1;
#endif
    }

    // Without iopl(3) an in/out instruction kills the process; start-up
    // refuses to go on when iopl() fails, so these are never reached then.
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

RealPlatform realPlatform;
Platform* installed = &realPlatform;

} // namespace

Platform& platform()
{
    return *installed;
}

void setPlatform(Platform* replacement)
{
    installed = replacement ? replacement : &realPlatform;
}
