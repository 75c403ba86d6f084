#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <string>
#include <sys/types.h>

// A stand-in for the machine's control application: a short-lived process
// whose pid file a [Health] PidFile= check watches, so that its end makes
// the daemon stop feeding and the simulated watchdog reset the machine.
class StandInApplication {
public:
    /// Starts /bin/sleep @p seconds and writes its pid to @p pidFile; nothing,
    /// with @p error, when either fails. The process has a group of its own,
    /// so that Ctrl-C stops the daemon and not the application under watch,
    /// and it dies with the simulator however the simulator ends.
    static std::unique_ptr<StandInApplication> start(int seconds, const QString& pidFile, QString* error);
    /// Kills it if it still runs, collects it and removes the pid file.
    ~StandInApplication();
    StandInApplication(const StandInApplication&) = delete;
    StandInApplication& operator=(const StandInApplication&) = delete;

    pid_t pid() const { return process; }

    /// Collects the process once it has ended, which the daemon's check
    /// cannot do for it (to the check a zombie is dead already, but it
    /// would stay in the process table): then, once, what to tell the user;
    /// an empty text before and after.
    std::string collect();

private:
    StandInApplication(pid_t process, QString pidFile);

    const pid_t process;
    const QString pidFile;
    bool collected = false;
};

// A machine that resets keeps its state file as it was at that moment,
// but the simulation goes on to stop the daemon in order, which writes
// state=stopped. This takes the file at the reset and writes it back once
// the daemon has exited, so that the next run tells why this one ended.
class ResetState {
public:
    /// An empty @p path: no state file, nothing to keep.
    explicit ResetState(QString path);

    /// At the reset, while the daemon still runs; only the first counts.
    /// What to tell the user.
    std::string take();
    /// After the daemon exited: the file as take() found it (none if it
    /// had none). What to tell the user; empty when there was no reset.
    std::string restore();

private:
    enum class Kept { Nothing, Absent, Content };

    const QString path;
    bool taken = false;
    Kept kept = Kept::Nothing;
    QByteArray content;
};
