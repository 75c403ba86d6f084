#include "core/file_checks.h"

#include "strategy/ini_values.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <sys/stat.h>

QString configurationFileToRead(const QString& path)
{
    // stat() follows a symbolic link as the readers do, and never opens:
    // looking at a FIFO does not wait for its writer.
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || S_ISREG(info.st_mode))
        return path;
    qWarning() << "Файл настроек" << path
               << "не является обычным файлом и не прочитан: действуют значения по умолчанию.";
    // The settings class reads an empty name as a file that does not exist,
    // without looking at the file system at all.
    return QString();
}

QString readFilePathKey(const QSettings& settings, const QString& key)
{
    const QString text = configText(settings, key);
    if (text.isEmpty())
        return QString();
    if (!QDir::isAbsolutePath(text) || text.endsWith(QLatin1Char('/'))) {
        qWarning().nospace() << "Ignoring " << key << " = " << text << ": not an absolute file path";
        return QString();
    }
    return text;
}
