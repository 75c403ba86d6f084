#pragma once

#include "core/daemon.h"

#include <QString>

#include <ostream>

// The daemon's own options. Run without any, the daemon starts supervising
// at once, as it always has; the options only print and exit, and none of
// them touches a port, a serial device, the log file or the test marker.
struct CommandLine {
    enum class Action {
        RunDaemon,
        Help,
        Version,
        // Report on a configuration file and exit.
        Check,
        // An option the daemon does not know: nothing runs.
        UsageError,
    };
    Action action = Action::RunDaemon;
    // Check: the file named after "--check"; empty for the daemon's own.
    QString checkFile;
    // UsageError: the argument that was not understood.
    QString unknown;
};

/// Reads the options. "--" ends them: what follows is never taken for an
/// option (a file after "--check" excepted). Arguments that are no options
/// are left alone; they reach the application object with all the others.
/// An unknown option wins over everything else, then help, version, check.
CommandLine parseCommandLine(int argc, const char* const* argv);

/// The whole program: the options, then either their answer on @p out (and
/// the usage error on @p err) or the daemon itself. Exit codes: those of the
/// daemon; 0 after help and version; the check's 0 or 1; 2 for a usage error.
int runProgram(int argc, char** argv, const DaemonParts& parts, const DaemonEnvironment& environment, std::ostream& out,
    std::ostream& err);
