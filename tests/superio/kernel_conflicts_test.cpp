#include "superio/kernel_conflicts.h"

#include "support/log_capture.h"
#include "support/qt_printers.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QString warning(const char* module)
{
    return QStringLiteral("[WARN ] Kernel module \"%1\" is loaded and also uses the Super I/O configuration ports: "
                          "its accesses can interleave with the watchdog's and send them to the wrong register; "
                          "unload or blacklist it")
        .arg(QLatin1String(module));
}

TEST(KernelConflicts, OneWarningPerLoadedModuleThatSharesThePorts)
{
    const struct {
        const char* what;
        const char* modules;
        QStringList warnings;
    } rows[] = {
        { "none of them", "ext4 737280 1 - Live 0x0\nsnd 98304 0 - Live 0x0\n", {} },
        { "empty list", "", {} },
        { "watchdog and hwmon drivers of the same chip",
            "nct6775 81920 0 - Live 0x0\nhwmon_vid 16384 1 nct6775, Live 0x0\nit87_wdt 16384 0 - Live 0x0\n",
            { warning("it87_wdt"), warning("nct6775") } },
        { "all of them, last line unterminated",
            "gpio_f7188x 1 0 - Live 0x0\nw83627ehf 1 0 - Live 0x0\nf71882fg 1 0 - Live 0x0\nit87 1 0 - Live 0x0\n"
            "w83627hf_wdt 1 0 - Live 0x0\nf71808e_wdt 1 0 - Live 0x0\nit87_wdt 1 0 - Live 0x0\nnct6775 1 0 - Live 0x0",
            { warning("it87_wdt"), warning("f71808e_wdt"), warning("w83627hf_wdt"), warning("it87"),
                warning("f71882fg"), warning("nct6775"), warning("w83627ehf"), warning("gpio_f7188x") } },
        // Only the module name counts, and only whole.
        { "look-alikes", "it87x 1 0 - Live 0x0\nmy_it87 1 0 it87_wdt, Live 0x0\nnct6775_core 1 0 - Live 0x0\n", {} },
    };
    for (const auto& row : rows) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("modules"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(row.modules);
        file.close();

        LogCapture log;
        warnAboutConflictingKernelModules(path);
        EXPECT_EQ(log.lines(), row.warnings) << row.what;
    }
}

TEST(KernelConflicts, UnreadableModuleListIsNoReasonToComplain)
{
    QTemporaryDir dir;
    LogCapture log;
    warnAboutConflictingKernelModules(dir.filePath(QStringLiteral("missing")));
    warnAboutConflictingKernelModules(dir.path());
    EXPECT_TRUE(log.lines().isEmpty());
}

} // namespace
