#pragma once

#include <QStringList>

#include <functional>

// The serial library takes a UUCP lock file, LCK..<device>, for every open of
// a serial port, in the first of its lock directories that exists: /var/lock,
// which on Debian is a link to /run/lock, mode 1777. Any local user can put a
// file of that name there (a lock naming a live process of theirs, a
// directory, a symbolic link, a FIFO), and the open then fails, or hangs in
// the FIFO: no feed, no stop, no detection of the serial board.
//
// The daemon therefore gives itself its own view of those directories: a
// mount namespace of its own with an empty tmpfs over each of them, which no
// other process sees or can write to. The daemon's own lock files keep
// working, so its watchdog link and its environment monitor still exclude
// each other; what is lost is only the exclusion against serial programs
// outside the daemon, which a user could defeat anyway.

/// The two calls that change the mount namespace, as unshare(2) and
/// mount(2): 0 on success, -1 with errno set, and the number of threads the
/// process runs. Tests refuse them at will.
struct MountCalls {
    std::function<int()> threads;
    std::function<int(int flags)> unshare;
    std::function<int(const char* source, const char* target, const char* type, unsigned long flags, const void* data)>
        mount;
};

/// The real unshare(2) and mount(2), and the threads in /proc/self/task.
MountCalls systemMountCalls();

/// Moves the process into a mount namespace of its own and mounts an empty
/// tmpfs over each of @p directories that exists (a link such as /var/lock
/// to /run/lock counts as the directory it points to, covered once). Needs a
/// single-threaded process with CAP_SYS_ADMIN: unshare(2) moves only the
/// calling thread, and a thread that already runs would go on seeing the
/// shared directories, so a process with threads is refused as a whole.
/// Nothing is done for an empty
/// list. When a directory is missing or a step is refused, one warning is
/// logged and the daemon goes on with the directories it could not cover as
/// they are; the answer is then false.
bool usePrivateLockDirectories(const QStringList& directories, const MountCalls& calls = systemMountCalls());
