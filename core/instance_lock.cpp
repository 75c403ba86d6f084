#include "core/instance_lock.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void warnUnavailable(const QString& path, const char* reason)
{
    qWarning().nospace() << "Файл блокировки " << path << " не создан (" << reason
                         << ") - второй экземпляр демона не будет обнаружен.";
}

// The holder writes its pid right after taking the lock: a daemon that
// looks in between finds the file still empty (or with its predecessor's
// pid cut short by the truncation) and reports no pid.
pid_t readPid(int fd)
{
    char text[32] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    if (got <= 0)
        return 0;
    bool ok = false;
    const long pid = QByteArray(text, static_cast<int>(got)).trimmed().toLong(&ok);
    return ok && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

} // namespace

InstanceLock::InstanceLock(const QString& path)
    : path(path)
{
}

InstanceLock::~InstanceLock()
{
    release();
}

void InstanceLock::release()
{
    if (fd < 0)
        return;
    // Emptied while the lock is still ours: the next daemon takes the lock
    // only after the close, so it never sees its own pid cut away. Nothing
    // depends on the outcome.
    if (held) {
        const int emptied = ::ftruncate(fd, 0);
        static_cast<void>(emptied);
    }
    ::close(fd);
    fd = -1;
    held = false;
}

InstanceLock::Result InstanceLock::acquire()
{
    release();
    holderPid = 0;

    // No O_TRUNC: the file of a running daemon keeps its pid until the lock
    // says that the file is ours. O_NOFOLLOW keeps a symbolic link from
    // steering the truncation to another file, and O_NONBLOCK keeps a FIFO in
    // its place from blocking the open.
    fd = ::open(
        QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) {
        warnUnavailable(path, std::strerror(errno));
        return Result::Unavailable;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        release();
        warnUnavailable(path, "это не обычный файл");
        return Result::Unavailable;
    }

    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            const int error = errno;
            release();
            warnUnavailable(path, std::strerror(error));
            return Result::Unavailable;
        }
        holderPid = readPid(fd);
        release();
        if (holderPid > 0)
            qCritical().nospace() << "Демон уже запущен (PID " << holderPid << "): файл блокировки " << path
                                  << " занят.";
        else
            qCritical().nospace() << "Демон уже запущен (PID неизвестен): файл блокировки " << path << " занят.";
        return Result::HeldElsewhere;
    }

    held = true;
    // A pid that cannot be written leaves the lock working; a second daemon
    // then reports no pid.
    const QByteArray text = QByteArray::number(static_cast<qlonglong>(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.constData(), static_cast<size_t>(text.size()), 0) != text.size())
        qDebug() << "Could not write the pid into" << path << ":" << std::strerror(errno);
    return Result::Held;
}
