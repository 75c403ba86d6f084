#include "core/logging.h"

#include "core/globals.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

// Where standard output leads and what it still owes there. A stalled
// reader (a hung log collector, a terminal on hold, a full pipe) must never
// hold up the feeding, so nothing below waits: what the reader cannot take
// now is either kept (the rest of a line already begun, so that no line is
// torn for good) or dropped whole and counted.
struct StandardOutput {
    std::mutex mutex; // Qt may call the handler from any thread
    // The journal's stream socket, when standard output was it at
    // installation: its lines then carry their syslog priority.
    bool journal = false;
    dev_t journalDevice = 0;
    ino_t journalInode = 0;
    // The rest and the count belong to this target; another one (standard
    // output pointed elsewhere) starts afresh.
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    QByteArray rest;
    quint64 dropped = 0;
};

StandardOutput& standardOutput()
{
    // Never destroyed: Qt may still log from the destructors at exit.
    static StandardOutput* const state = new StandardOutput;
    return *state;
}

// Writes to standard output without ever waiting, the way depending on what
// descriptor 1 is. O_NONBLOCK is not set on descriptor 1 itself: its open
// file description is shared with the shell, the terminal and whoever else
// writes there, and would turn their writes into failures.
class NonBlockingStdout {
public:
    explicit NonBlockingStdout(mode_t type)
    {
        // A regular file takes every byte without a reader to wait for.
        if (S_ISREG(type)) {
            way = Way::Write;
            return;
        }
        // The journal's stream is a socket: a flag of this one call suffices.
        if (S_ISSOCK(type)) {
            way = Way::Send;
            return;
        }
        // A pipe, FIFO or terminal: a private open file description of the
        // same object, non-blocking, opened anew for each line so that it
        // never keeps a pipe open after standard output has moved on (its
        // reader would wait for an end that never comes). O_NOCTTY: a daemon
        // without a controlling terminal must not acquire its standard output
        // as one and then die of the terminal's hang-up.
        own = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 0) {
            way = Way::Own;
            return;
        }
        // ENXIO: a pipe or FIFO without a reader; EIO: a hung-up terminal.
        // Without /proc (or without the rights on a pipe of another user)
        // the readiness poll below is the best that is left: a pipe that
        // polls writable has room for PIPE_BUF bytes at least.
        way = errno == ENOENT || errno == EACCES || errno == EPERM ? Way::Polled : Way::Nothing;
    }
    ~NonBlockingStdout()
    {
        if (own >= 0)
            ::close(own);
    }
    NonBlockingStdout(const NonBlockingStdout&) = delete;
    NonBlockingStdout& operator=(const NonBlockingStdout&) = delete;

    // The number of bytes taken, from the start of the data.
    qsizetype write(const QByteArray& bytes)
    {
        qsizetype taken = 0;
        while (taken < bytes.size()) {
            const char* data = bytes.constData() + taken;
            const size_t left = static_cast<size_t>(bytes.size() - taken);
            ssize_t written = -1;
            switch (way) {
            case Way::Write:
                written = ::write(STDOUT_FILENO, data, left);
                break;
            case Way::Send:
                // MSG_NOSIGNAL as well: a journal that went away costs the line.
                written = ::send(STDOUT_FILENO, data, left, MSG_DONTWAIT | MSG_NOSIGNAL);
                break;
            case Way::Own:
                written = ::write(own, data, left);
                break;
            case Way::Polled: {
                pollfd ready = { STDOUT_FILENO, POLLOUT, 0 };
                if (::poll(&ready, 1, 0) != 1 || !(ready.revents & POLLOUT))
                    return taken;
                written = ::write(STDOUT_FILENO, data, std::min<size_t>(left, PIPE_BUF));
                break;
            }
            case Way::Nothing:
                return taken;
            }
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return taken;
            taken += written;
        }
        return taken;
    }

private:
    enum class Way { Write, Send, Own, Polled, Nothing };
    Way way = Way::Nothing;
    int own = -1;
};

// The journal reads a leading "<n>" as the line's syslog priority. Each line
// of a message gets it: the journal makes an entry of every line.
QByteArray withPriority(QtMsgType type, const QByteArray& lines)
{
    const char* priority = nullptr;
    switch (type) {
    case QtDebugMsg:
        priority = "<7>";
        break;
    case QtInfoMsg:
        priority = "<6>";
        break;
    case QtWarningMsg:
        priority = "<4>";
        break;
    case QtCriticalMsg:
        priority = "<3>";
        break;
    case QtFatalMsg:
        priority = "<2>";
        break;
    }
    if (!priority)
        return lines;
    QByteArray prefixed = priority + lines;
    for (qsizetype at = prefixed.indexOf('\n'); at >= 0 && at + 1 < prefixed.size();
         at = prefixed.indexOf('\n', at + 1))
        prefixed.insert(at + 1, priority);
    return prefixed;
}

// Only on standard output: the log file has every line, so there is no gap
// in it to explain, and its lines stay exactly the daemon's messages.
QByteArray droppedLinesNotice(quint64 dropped)
{
    const QString text
        = QStringLiteral("Стандартный вывод не успевал принимать строки журнала, пропущено строк: %1").arg(dropped);
    return formatLogLine(QtWarningMsg, QDateTime::currentDateTime(), text).toUtf8() + '\n';
}

void writeToStandardOutput(QtMsgType type, const QByteArray& line)
{
    StandardOutput& out = standardOutput();
    const std::lock_guard<std::mutex> lock(out.mutex);

    struct stat target;
    if (::fstat(STDOUT_FILENO, &target) != 0)
        return;
    if (!out.known || target.st_dev != out.device || target.st_ino != out.inode) {
        out.known = true;
        out.device = target.st_dev;
        out.inode = target.st_ino;
        out.rest.clear();
        out.dropped = 0;
    }
    const bool journal = out.journal && target.st_dev == out.journalDevice && target.st_ino == out.journalInode;

    NonBlockingStdout writer(target.st_mode);
    // The rest of a line already begun goes first, or the reader would see
    // two lines run into each other; until it is out, new lines are dropped.
    if (!out.rest.isEmpty()) {
        out.rest.remove(0, writer.write(out.rest));
        if (!out.rest.isEmpty()) {
            ++out.dropped;
            return;
        }
    }

    QByteArray unit;
    if (out.dropped > 0)
        unit = journal ? withPriority(QtWarningMsg, droppedLinesNotice(out.dropped)) : droppedLinesNotice(out.dropped);
    unit += journal ? withPriority(type, line) : line;
    const qsizetype taken = writer.write(unit);
    if (taken == 0) {
        ++out.dropped;
        return;
    }
    out.dropped = 0;
    // At most this unit: the notice and one line.
    out.rest = unit.mid(taken);
}

// JOURNAL_STREAM names the journal's socket as "device:inode"; it is only
// inherited, so it counts only while descriptor 1 is that very socket.
void rememberJournalStream()
{
    StandardOutput& out = standardOutput();
    const std::lock_guard<std::mutex> lock(out.mutex);
    out.journal = false;
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat target;
    if (!stream || ::fstat(STDOUT_FILENO, &target) != 0)
        return;
    char* end = nullptr;
    errno = 0;
    const unsigned long long device = std::strtoull(stream, &end, 10);
    if (errno != 0 || end == stream || *end != ':')
        return;
    const char* inodeText = end + 1;
    const unsigned long long inode = std::strtoull(inodeText, &end, 10);
    if (errno != 0 || end == inodeText || *end != '\0')
        return;
    if (device != target.st_dev || inode != target.st_ino)
        return;
    out.journal = true;
    out.journalDevice = target.st_dev;
    out.journalInode = target.st_ino;
}

// Opened for every line, so that rotation needs no signal. Nothing here may
// wait: O_NONBLOCK makes a FIFO in the log's place fail the open instead of
// waiting for a reader, and whatever opens but is not a regular file (a
// FIFO with a reader, a device, a socket) is left unwritten like a file that
// cannot be opened, so no reader can pace the feeding. O_NOCTTY: a terminal
// in that place must not become the daemon's controlling terminal.
void appendToLogFile(const QByteArray& line)
{
    const int fd = ::open(QFile::encodeName(LOG_FILE).constData(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0)
        return;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        qsizetype written = 0;
        while (written < line.size()) {
            const ssize_t n = ::write(fd, line.constData() + written, static_cast<size_t>(line.size() - written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            written += n;
        }
    }
    ::close(fd);
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

    writeToStandardOutput(type, line);
    appendToLogFile(line);
}

void installMessageHandler()
{
    occupyClosedStandardStreams();
    // A dead log collector on the other end of standard output must not
    // kill the daemon that keeps the machine alive.
    ::signal(SIGPIPE, SIG_IGN);
    rememberJournalStream();
    qInstallMessageHandler(messageHandler);
}
