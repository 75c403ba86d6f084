#include "core/state_file.h"

#include "core/atomic_file.h"
#include "core/file_checks.h"

#include <QDebug>
#include <QFile>

#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The words of the file, in the order of StateFile::Ending.
const char* const kWords[] = { "", "stopped", "test-mode", "check-failed", "armed" };

// One line per field: a reason is the daemon's own text and holds no line
// break, but a check name or reason is cut at one all the same.
QString field(const QString& text)
{
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return line;
}

} // namespace

StateFile::StateFile(QString path, CheckFailure checkFailure)
    : path(std::move(path))
    , checkFailure(std::move(checkFailure))
{
}

StateFile::Previous StateFile::read(const QString& path)
{
    Previous previous;
    // Never blocks: a FIFO or a device in its place reads as no file.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return previous;
    QByteArray bytes;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        char buffer[4096];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0)
            bytes = QByteArray(buffer, static_cast<int>(got));
    }
    ::close(fd);

    QString state;
    for (const QString& line : QString::fromUtf8(bytes).split(QLatin1Char('\n'))) {
        const int equals = line.indexOf(QLatin1Char('='));
        const QString key = line.left(equals);
        const QString value = line.mid(equals + 1);
        if (key == QLatin1String("state"))
            state = value;
        else if (key == QLatin1String("check"))
            previous.check = value;
        else if (key == QLatin1String("reason"))
            previous.reason = value;
    }
    for (int ending = 1; ending < int(std::size(kWords)); ++ending) {
        if (state == QLatin1String(kWords[ending]))
            previous.ending = static_cast<Ending>(ending);
    }
    return previous;
}

void StateFile::logPrevious(const Previous& previous)
{
    switch (previous.ending) {
    case Ending::None:
        return;
    case Ending::Stopped:
        qInfo() << "Предыдущий запуск завершился штатно.";
        return;
    case Ending::TestMode:
        qWarning() << "Предыдущий запуск: кормление остановлено тестовым режимом, Watchdog перезагрузил машину.";
        return;
    case Ending::CheckFailed:
        qWarning().noquote() << QStringLiteral(
            "Предыдущий запуск: кормление остановлено проверкой \"%1\" (%2), Watchdog перезагрузил машину.")
                                    .arg(previous.check, previous.reason);
        return;
    case Ending::NeverStopped:
        qWarning() << "Предыдущий запуск не был остановлен при взведённом Watchdog: зависание, сбой, потеря питания "
                      "или сброс.";
        return;
    }
}

QString StateFile::word(Ending ending)
{
    // The file says "armed" of a run that was still fed; read back at the
    // next start, that run never stopped.
    return ending == Ending::NeverStopped ? QStringLiteral("never-stopped")
                                          : QLatin1String(kWords[static_cast<int>(ending)]);
}

void StateFile::armed()
{
    write(Ending::NeverStopped);
}

void StateFile::feedingStopped()
{
    write(Ending::TestMode);
}

void StateFile::feedGateClosed()
{
    const auto [check, reason] = checkFailure ? checkFailure() : std::pair<QString, QString>();
    write(Ending::CheckFailed, check, reason);
}

void StateFile::stopped()
{
    write(Ending::Stopped);
}

void StateFile::write(Ending ending, const QString& check, const QString& reason)
{
    QString text = QStringLiteral("state=") + QLatin1String(kWords[static_cast<int>(ending)]) + QLatin1Char('\n');
    if (!check.isEmpty())
        text += QStringLiteral("check=") + field(check) + QStringLiteral("\nreason=") + field(reason)
            + QLatin1Char('\n');
    // Synced: the file is read after a reset, which is when unsynced data
    // is lost. It changes only a few times in a run.
    const int error = replaceFileAtomically(path, text.toUtf8(), 0644, true);
    if (error == 0) {
        failing = false;
        return;
    }
    if (!failing)
        qWarning().noquote() << QStringLiteral("Файл состояния \"%1\" не записан: %2 - кормление продолжается.")
                                    .arg(path, QString::fromLocal8Bit(std::strerror(error)));
    failing = true;
}

QString readStateFilePath(const QSettings& settings)
{
    return readFilePathKey(settings, QStringLiteral("Global/StateFile"));
}
