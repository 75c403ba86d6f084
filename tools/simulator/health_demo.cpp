#include "tools/simulator/health_demo.h"

#include "core/atomic_file.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kSleep[] = "/bin/sleep";

// A state file holds a few short lines; more is not one.
constexpr qint64 kLargestStateFile = 4096;

std::string ending(int status)
{
    if (WIFEXITED(status))
        return "exited with code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "was killed by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

// The first line, "state=...", says enough of the whole.
std::string firstLine(const QByteArray& bytes)
{
    const int end = bytes.indexOf('\n');
    return (end < 0 ? bytes : bytes.left(end)).toStdString();
}

} // namespace

std::unique_ptr<StandInApplication> StandInApplication::start(int seconds, const QString& pidFile, QString* error)
{
    // Everything the child needs exists before the fork: other threads may
    // hold locks that the child would wait for forever.
    const std::string duration = std::to_string(seconds);
    char* const argv[] = { const_cast<char*>(kSleep), const_cast<char*>(duration.c_str()), nullptr };
    const pid_t parent = ::getpid();
    sigset_t none;
    sigemptyset(&none);

    const pid_t child = ::fork();
    if (child < 0) {
        *error = QStringLiteral("cannot start %1: %2")
                     .arg(QLatin1String(kSleep), QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    if (child == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The simulator may have died before the line above.
        if (::getppid() != parent)
            ::_exit(127);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // Not the simulator's output: a reader waiting for its end would
        // otherwise wait for this process as well.
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        ::execv(kSleep, argv);
        ::_exit(127);
    }
    // In the parent as well: whichever runs first, the group exists before
    // anyone signals it.
    ::setpgid(child, child);

    std::unique_ptr<StandInApplication> application(new StandInApplication(child, pidFile));
    QFile file(pidFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(QByteArray::number(child) + '\n') < 0
        || !file.flush()) {
        *error = QStringLiteral("cannot write the pid file %1").arg(pidFile);
        return nullptr;
    }
    return application;
}

StandInApplication::StandInApplication(pid_t process, QString pidFile)
    : process(process)
    , pidFile(std::move(pidFile))
{
}

StandInApplication::~StandInApplication()
{
    if (!collected) {
        ::kill(process, SIGKILL);
        int status = 0;
        while (::waitpid(process, &status, 0) < 0 && errno == EINTR) { }
    }
    // It names a process that is gone, whose number another may get.
    QFile::remove(pidFile);
}

std::string StandInApplication::collect()
{
    if (collected)
        return std::string();
    int status = 0;
    const pid_t got = ::waitpid(process, &status, WNOHANG);
    if (got == 0 || (got < 0 && errno == EINTR))
        return std::string();
    collected = true;
    return "the application under watch (pid " + std::to_string(process) + ") "
        + (got == process ? ending(status) : std::string("ended"));
}

ResetState::ResetState(QString path)
    : path(std::move(path))
{
}

std::string ResetState::take()
{
    if (path.isEmpty() || taken)
        return std::string();
    taken = true;
    QFile file(path);
    if (!file.exists()) {
        kept = Kept::Absent;
        return "no state file " + path.toStdString() + " at the reset";
    }
    if (!file.open(QIODevice::ReadOnly))
        return "could not read the state file " + path.toStdString() + " at the reset: it is left to the daemon";
    kept = Kept::Content;
    content = file.read(kLargestStateFile);
    return "the state file " + path.toStdString() + " holds " + firstLine(content)
        + " at the reset: a machine that resets keeps it, so the simulator writes it back after the stop";
}

std::string ResetState::restore()
{
    switch (kept) {
    case Kept::Nothing:
        return std::string();
    case Kept::Absent:
        if (!QFile::exists(path) || QFile::remove(path))
            return std::string();
        return "could not remove the state file " + path.toStdString() + ", which the reset found absent";
    case Kept::Content:
        break;
    }
    const int error = replaceFileAtomically(path, content, 0644, true);
    if (error != 0)
        return "could not write back the state file " + path.toStdString() + ": " + std::strerror(error);
    return "the state file " + path.toStdString() + " holds " + firstLine(content)
        + " again, as the reset left it: the next run tells why this one ended";
}
