#include "core/lock_namespace.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <vector>

namespace {

QString failure(const char* step, const QString& target = QString())
{
    const QString error = QString::fromLocal8Bit(std::strerror(errno));
    return target.isEmpty() ? QStringLiteral("%1: %2").arg(QLatin1String(step), error)
                            : QStringLiteral("%1 %2: %3").arg(QLatin1String(step), target, error);
}

} // namespace

MountCalls systemMountCalls()
{
    return {
        [] {
            return static_cast<int>(
                QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
        },
        [](int flags) { return ::unshare(flags); },
        [](const char* source, const char* target, const char* type, unsigned long flags, const void* data) {
            return ::mount(source, target, type, flags, data);
        },
    };
}

bool usePrivateLockDirectories(const QStringList& directories, const MountCalls& calls)
{
    if (directories.isEmpty())
        return true;

    QStringList problems;
    std::vector<QByteArray> targets;
    for (const QString& directory : directories) {
        char resolved[PATH_MAX];
        struct stat info;
        if (!::realpath(QFile::encodeName(directory).constData(), resolved) || ::stat(resolved, &info) != 0
            || !S_ISDIR(info.st_mode)) {
            problems << QStringLiteral("нет каталога %1").arg(directory);
            continue;
        }
        if (std::find(targets.begin(), targets.end(), QByteArray(resolved)) == targets.end())
            targets.emplace_back(resolved);
    }

    QStringList covered;
    if (!targets.empty()) {
        const int threads = calls.threads();
        // Unknown (no /proc) is taken for one: the daemon starts none.
        if (threads > 1) {
            problems << QStringLiteral("потоков в процессе: %1").arg(threads);
        } else if (calls.unshare(CLONE_NEWNS) != 0) {
            // Without CAP_SYS_ADMIN: EPERM.
            problems << failure("unshare");
        } else if (calls.mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) {
            // Still a peer of the host's mounts: anything mounted now would
            // appear on the host as well, so nothing is.
            problems << failure("mount --make-rslave /");
        } else {
            // Slave rather than private: nothing mounted here reaches the
            // host, while mounts and unmounts the administrator makes later
            // (a log disk, a USB stick taken out) still reach the daemon, as
            // they would without a namespace of its own.
            for (const QByteArray& target : targets) {
                // Only the daemon, root, ever sees or writes this directory.
                if (calls.mount("wdt-daemon", target.constData(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                        "mode=0755,size=1m")
                    != 0)
                    problems << failure("mount tmpfs", QFile::decodeName(target));
                else
                    covered << QFile::decodeName(target);
            }
        }
    }

    if (!problems.isEmpty()) {
        qWarning().nospace() << "Закрытый каталог блокировок последовательных портов не создан ("
                             << problems.join(QStringLiteral("; ")).toUtf8().constData()
                             << ") - чужие файлы блокировки могут помешать работе с платой.";
        return false;
    }
    qDebug() << "Serial port lock files go to a tmpfs of the daemon's own on" << covered;
    return true;
}
