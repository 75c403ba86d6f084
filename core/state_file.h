#pragma once

#include "core/supervisor.h"

#include <QSettings>
#include <QString>

#include <functional>
#include <utility>

// Why the last run ended, kept across a reset: a small file the daemon
// rewrites (atomically, synced) only when its state changes, and reads at
// the next start. A machine that reset because feeding stopped on purpose
// (test mode, a failed health check) then says so, and one that reset
// while it was fed points at a hang, a crash or a power loss.
class StateFile : public SupervisorObserver {
public:
    enum class Ending { None, Stopped, TestMode, CheckFailed, NeverStopped };
    struct Previous {
        Ending ending = Ending::None;
        QString check;
        QString reason;
    };

    /// The failed health check and what it saw.
    using CheckFailure = std::function<std::pair<QString, QString>()>;

    StateFile(QString path, CheckFailure checkFailure);

    /// What the file says of the run before this one.
    static Previous read(const QString& path);
    /// Logs the one line about it; nothing when there was no earlier run.
    static void logPrevious(const Previous& previous);
    /// The ending as one word ("stopped", "test-mode", "check-failed",
    /// "never-stopped"); empty for none.
    static QString word(Ending ending);

    void armed() override;
    void feedingStopped() override;
    void feedGateClosed() override;
    void stopped() override;

private:
    void write(Ending ending, const QString& check = QString(), const QString& reason = QString());

    const QString path;
    const CheckFailure checkFailure;
    bool failing = false;
};

/// "Global/StateFile": the file, or an empty text when the key is absent or
/// empty (no state is kept). A path that is not absolute is ignored with a
/// warning.
QString readStateFilePath(const QSettings& settings);
