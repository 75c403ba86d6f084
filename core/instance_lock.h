#pragma once

#include <QString>

#include <sys/types.h>

// One daemon per machine. Two daemons would detect, arm and feed the same
// watchdog, and their register sessions would interleave: one daemon's stop
// sequence could disable the watchdog while the other kept writing only the
// counter. The first daemon holds an exclusive flock(2) on the pid file for
// its whole life; a second one finds it taken and refuses to start.
//
// The lock belongs to the open file description, so it ends with the process
// however the process ends: a crashed daemon leaves no stale lock behind, and
// its successor (a restart by systemd) takes the lock at once.
class InstanceLock {
public:
    enum class Result {
        // The lock is ours; the file holds our pid.
        Held,
        // Another daemon holds it (holder() says which, 0 if unknown); one
        // critical line has been logged.
        HeldElsewhere,
        // The file could not be created or opened as a regular file; one
        // warning has been logged and nothing is held.
        Unavailable,
    };

    explicit InstanceLock(const QString& path);
    /// Truncates the file while the lock is still held, then releases it.
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    /// Takes the lock without waiting and writes this process's pid into the
    /// file. Logs the outcome when it is not Held.
    Result acquire();

    /// The pid written by the holder, after acquire() answered HeldElsewhere.
    pid_t holder() const { return holderPid; }

private:
    void release();

    QString path;
    int fd = -1;
    bool held = false;
    pid_t holderPid = 0;
};
