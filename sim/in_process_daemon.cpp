#include "sim/in_process_daemon.h"

#include "superio/fintek_vendor.h"
#include "superio/ite_vendor.h"
#include "superio/nuvoton_vendor.h"

#include <QFile>
#include <QLoggingCategory>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

void blockStopSignals()
{
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
}

RedirectedStdout::RedirectedStdout(StdoutSink sink)
{
    switch (sink) {
    case StdoutSink::Null: {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        saveAndPoint(null);
        if (null >= 0)
            ::close(null);
        break;
    }
    case StdoutSink::DeadReader: {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            break;
        ::close(fds[0]);
        saveAndPoint(fds[1]);
        ::close(fds[1]);
        break;
    }
    case StdoutSink::Closed:
        std::fflush(stdout);
        saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
        redirected = saved >= 0 && ::close(STDOUT_FILENO) == 0;
        break;
    }
}

RedirectedStdout::RedirectedStdout(int target)
{
    saveAndPoint(target);
}

RedirectedStdout::RedirectedStdout(const QString& path)
{
    const int file = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    saveAndPoint(file);
    if (file >= 0)
        ::close(file);
}

void RedirectedStdout::saveAndPoint(int target)
{
    if (target < 0)
        return;
    // What stdio still holds belongs to the old standard output.
    std::fflush(stdout);
    saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    redirected = saved >= 0 && ::dup2(target, STDOUT_FILENO) >= 0;
}

RedirectedStdout::~RedirectedStdout()
{
    if (saved < 0)
        return;
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
}

DaemonParts superIoParts()
{
    DaemonParts parts;
    parts.makeFintek = [] { return std::make_shared<FintekVendor>(); };
    parts.makeIte = [] { return std::make_shared<IteVendor>(); };
    parts.makeNuvoton = [] { return std::make_shared<NuvotonVendor>(); };
    return parts;
}

InProcessDaemon::InProcessDaemon()
{
    current.logFile = path(QStringLiteral("wdt-daemon.log"));
    current.configFile = path(QStringLiteral("wdt.ini"));
    current.testFile = path(QStringLiteral("WDT_TEST"));
    current.modulesFile = path(QStringLiteral("modules"));
    current.pidFile = path(QStringLiteral("wdt-daemon.pid"));
    // The threads of tests and simulators keep the daemon from a mount
    // namespace of its own; the lock directories are left as they are, and
    // the run logs no warning about them.
    current.lockDirectories.clear();
    current.portIo = &fakePlatform;
    current.privileges = &fakePlatform;
    current.markerOwner = ::geteuid();
    scope.emplace(current);
}

InProcessDaemon::~InProcessDaemon()
{
    scope.reset();
    QLoggingCategory::setFilterRules(QString());
}

void InProcessDaemon::setEnvironment(const DaemonEnvironment& environment)
{
    current = environment;
    // Put back what was there before, then apply the new values over it.
    scope.reset();
    scope.emplace(current);
}

void InProcessDaemon::useBus(FakePlatform& bus)
{
    DaemonEnvironment environment = current;
    environment.portIo = &bus;
    environment.privileges = &bus;
    setEnvironment(environment);
}

QString InProcessDaemon::path(const QString& name) const
{
    return dir.filePath(name);
}

void InProcessDaemon::writeConfig(const QString& ini) const
{
    QFile file(current.configFile);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(ini.toUtf8());
}

int InProcessDaemon::run(const DaemonParts& parts, bool quiet, const char* programName)
{
    // Qt keeps the arguments by reference for the application's lifetime.
    QByteArray name(programName);
    char* argv[] = { name.data(), nullptr };
    std::optional<RedirectedStdout> silenced;
    if (quiet)
        silenced.emplace();
    return runDaemon(1, argv, parts, current);
}

QStringList InProcessDaemon::logLines() const
{
    QFile file(current.logFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QStringList InProcessDaemon::messages() const
{
    QStringList result;
    for (const QString& line : logLines())
        result << line.mid(20);
    return result;
}
