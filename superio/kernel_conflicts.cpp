#include "superio/kernel_conflicts.h"

#include <QDebug>
#include <QFile>
#include <QSet>

QStringList conflictingKernelModules()
{
    return { QStringLiteral("it87_wdt"), QStringLiteral("f71808e_wdt"), QStringLiteral("w83627hf_wdt"),
        QStringLiteral("it87"), QStringLiteral("f71882fg"), QStringLiteral("nct6775"), QStringLiteral("w83627ehf"),
        QStringLiteral("gpio_f7188x") };
}

void warnAboutConflictingKernelModules(const QString& modulesPath)
{
    // The kernel serialises its own users of these ports, but port I/O under
    // iopl(3) bypasses that lock: a kernel driver's index write can land
    // between ours and the data access that belongs to it.
    QFile file(modulesPath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    // readAll(), not a size: files under /proc report a size of 0.
    const QList<QByteArray> lines = file.readAll().split('\n');

    // One module per line, its name first: "it87_wdt 16384 0 - Live 0x0".
    QSet<QString> loaded;
    for (const QByteArray& line : lines) {
        const QByteArray name = line.simplified().split(' ').value(0);
        if (!name.isEmpty())
            loaded.insert(QString::fromLatin1(name));
    }
    for (const QString& module : conflictingKernelModules()) {
        if (loaded.contains(module))
            qWarning() << "Kernel module" << module
                       << "is loaded and also uses the Super I/O configuration ports: its accesses can interleave "
                          "with the watchdog's and send them to the wrong register; unload or blacklist it";
    }
}
