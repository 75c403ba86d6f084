#include "core/atomic_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

} // namespace

int replaceFileAtomically(const QString& path, const QByteArray& bytes, mode_t mode, bool sync)
{
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary
        = QFile::encodeName(info.dir().filePath(QLatin1Char('.') + info.fileName() + QStringLiteral(".tmp")));

    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(temporary.constData(), flags, mode);
    // Unlink removes a planted link, not its target.
    if (fd < 0 && errno == EEXIST && ::unlink(temporary.constData()) == 0)
        fd = ::open(temporary.constData(), flags, mode);
    if (fd < 0)
        return errno;

    int error = 0;
    errno = 0;
    // The umask must not narrow what readers of their own (an exporter) need.
    if (::fchmod(fd, mode) != 0 || !writeAll(fd, bytes) || (sync && ::fsync(fd) != 0))
        error = errno ? errno : EIO;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    // A rename replaces whatever has the target's name, a FIFO or a symlink
    // included, without opening it.
    if (error == 0 && ::rename(temporary.constData(), target.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.constData());
        return error;
    }
    if (sync) {
        const int directory
            = ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directory >= 0) {
            ::fsync(directory);
            ::close(directory);
        }
    }
    return 0;
}
