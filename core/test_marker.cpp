#include "core/test_marker.h"

#include <QDebug>
#include <QFile>

#include <sys/stat.h>

TestMarker::TestMarker(const QString& path, uid_t requiredOwner)
    : path(path)
    , encodedPath(QFile::encodeName(path))
    , requiredOwner(requiredOwner)
{
}

TestMarker::State TestMarker::check()
{
    struct stat info;
    if (::lstat(encodedPath.constData(), &info) != 0) {
        warned = false;
        return State::Absent;
    }

    const char* reason = nullptr;
    if (S_ISLNK(info.st_mode))
        reason = "это символическая ссылка";
    else if (!S_ISREG(info.st_mode))
        reason = "это не обычный файл";
    else if (info.st_uid != requiredOwner)
        reason = "владелец файла не root";
    // A second name of a file of root's, made by a user where the kernel
    // lets anyone link to files they do not own (fs.protected_hardlinks off),
    // is as foreign as a symbolic link.
    else if (info.st_nlink > 1)
        reason = "у файла больше одной жёсткой ссылки";
    if (!reason)
        return State::Honoured;

    if (!warned || info.st_dev != warnedDevice || info.st_ino != warnedInode) {
        warned = true;
        warnedDevice = info.st_dev;
        warnedInode = info.st_ino;
        qWarning() << "Файл тестового режима" << path << "проигнорирован:" << reason << "- кормление продолжается.";
    }
    return State::Ignored;
}
