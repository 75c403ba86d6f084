#pragma once

#include <QString>
#include <QStringList>

/// Kernel modules that drive Super I/O chips through the same configuration
/// ports as the watchdog drivers.
QStringList conflictingKernelModules();

/// Logs one warning for each of those modules that the kernel's module list
/// at @p modulesPath (normally /proc/modules) shows loaded. Nothing is logged
/// when the list cannot be read.
void warnAboutConflictingKernelModules(const QString& modulesPath);
