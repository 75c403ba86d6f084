#include "core/privileges.h"

#include <cerrno>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define WDT_HAVE_IOPL 1
#endif

namespace {

class SystemPrivileges final : public Privileges {
public:
    uid_t getuid() override { return ::getuid(); }

    int iopl(int level) override
    {
#ifdef WDT_HAVE_IOPL
        return ::iopl(level);
#else
        (void)level;
        errno = ENOSYS;
        return -1;
#endif
    }
};

} // namespace

Privileges& systemPrivileges()
{
    static SystemPrivileges privileges;
    return privileges;
}
