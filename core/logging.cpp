#include "core/logging.h"

#include "core/globals.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

QString levelTag(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("[DEBUG] ");
    case QtInfoMsg:
        return QStringLiteral("[INFO ] ");
    case QtWarningMsg:
        return QStringLiteral("[WARN ] ");
    case QtCriticalMsg:
        return QStringLiteral("[CRIT ] ");
    case QtFatalMsg:
        return QStringLiteral("[FATAL] ");
    }
    return QString();
}

// A plain write() loop: no stdio buffer whose error state could stick, and a
// reader that went away only costs this one line (SIGPIPE is ignored). A
// reader that stalls (a hung log collector, a full pipe) must not block the
// feeding either: the line is written only while the descriptor takes it
// without waiting, and is otherwise dropped here; the log file has it.
void writeWithoutWaiting(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        pollfd ready = { fd, POLLOUT, 0 };
        if (::poll(&ready, 1, 0) != 1 || !(ready.revents & POLLOUT))
            return;
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += written;
        left -= written;
    }
}

// A daemon started with a standard stream closed would otherwise hand that
// descriptor number to the next file it opens, and the log file opened as
// descriptor 1 would receive every line twice.
void occupyClosedStandardStreams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

} // namespace

QString formatLogLine(QtMsgType type, const QDateTime& when, const QString& message)
{
    return when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) + QLatin1Char(' ') + levelTag(type) + message;
}

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    Q_UNUSED(context);
    // The file gets the same UTF-8 bytes as standard output, whatever the
    // locale of the process: a log in two encodings cannot be read back.
    const QByteArray line = formatLogLine(type, QDateTime::currentDateTime(), message).toUtf8() + '\n';

    writeWithoutWaiting(STDOUT_FILENO, line);

    QFile file(LOG_FILE);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        file.write(line);
        file.close();
    }
}

void installMessageHandler()
{
    occupyClosedStandardStreams();
    // A dead log collector on the other end of standard output must not
    // kill the daemon that keeps the machine alive.
    ::signal(SIGPIPE, SIG_IGN);
    qInstallMessageHandler(messageHandler);
}
