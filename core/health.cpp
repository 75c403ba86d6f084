#include "core/health.h"

#include "strategy/ini_values.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// A command of the [Health] section, run by /bin/sh -c in a process group of
// its own, so that a time-out kills the shell's children too, and with no
// pipes, so that nothing it leaves behind can hold the daemon. Its end is
// reported once, from the event loop: never from inside the constructor (a
// shell that cannot be started fails there) and never after the object is
// gone.
class HealthProcess : public QProcess {
public:
    using Ended = std::function<void(bool timedOut, int exitCode, bool crashed)>;

    HealthProcess(const QString& command, int timeoutMs, Ended ended)
        : ended(std::move(ended))
    {
        setProgram(QStringLiteral("/bin/sh"));
        setArguments({ QStringLiteral("-c"), command });
        setStandardInputFile(QProcess::nullDevice());
        setStandardOutputFile(QProcess::nullDevice());
        setStandardErrorFile(QProcess::nullDevice());
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, this, [this] {
            killGroup();
            end(true, -1, false);
        });
        QObject::connect(this, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this](int exitCode, QProcess::ExitStatus status) { end(false, exitCode, status == QProcess::CrashExit); });
        QObject::connect(this, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                end(false, -1, true);
        });
        timer.start(timeoutMs);
        start();
    }

    ~HealthProcess() override
    {
        // QProcess waits for its child at destruction, and warns when it
        // must; after SIGKILL that wait is short.
        if (state() != QProcess::NotRunning) {
            killGroup();
            waitForFinished(1000);
        }
    }

    /// Goes once the child is collected, without waiting for it: one killed
    /// at its time-out may take a moment to die. Until then @p owner holds it.
    void dispose(QObject* owner)
    {
        // Its end, if still to come or not yet told, is nobody's news any
        // more.
        reported = true;
        disposed = true;
        timer.stop();
        if (state() == QProcess::NotRunning) {
            deleteLater();
            return;
        }
        setParent(owner);
        QObject::connect(
            this, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &QObject::deleteLater);
    }

    void killGroup()
    {
        const qint64 pid = processId();
        if (pid <= 0)
            return;
        ::kill(-static_cast<pid_t>(pid), SIGKILL);
        // The shell itself, should it not have got a group of its own.
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    }

private:
    void end(bool timedOut, int exitCode, bool crashed)
    {
        if (reported)
            return;
        reported = true;
        timer.stop();
        QMetaObject::invokeMethod(
            this,
            [this, timedOut, exitCode, crashed] {
                if (!disposed)
                    ended(timedOut, exitCode, crashed);
            },
            Qt::QueuedConnection);
    }

protected:
    // In the child, between fork and exec: only async-signal-safe calls.
    void setupChildProcess() override
    {
        ::setpgid(0, 0);
        // The daemon's real-time I/O class is inherited; a check or repair
        // that reads the disk hard must not crowd out everyone else's I/O.
        // Best effort, the middle level: what a process gets by default.
        constexpr int kWhoProcess = 1, kClassShift = 13, kBestEffort = 2, kMiddleLevel = 4;
        ::syscall(SYS_ioprio_set, kWhoProcess, 0, (kBestEffort << kClassShift) | kMiddleLevel);
        // The daemon itself is exempt from the OOM killer; a check or repair
        // that eats memory must not be.
        const int fd = ::open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            (void)!::write(fd, "0", 1);
            ::close(fd);
        }
    }

private:
    const Ended ended;
    QTimer timer;
    bool reported = false;
    bool disposed = false;
};

namespace {

bool readPositive(const QSettings& settings, const QString& key, qint64 max, qint64* value)
{
    if (!configContains(settings, key))
        return false;
    const QString text = configRawText(settings, key).trimmed();
    bool ok = false;
    const qlonglong parsed = text.toLongLong(&ok, 10);
    if (!ok || parsed <= 0 || parsed > max) {
        qWarning().nospace() << "Ignoring " << key << " = " << text << ": not a positive decimal number";
        return false;
    }
    *value = parsed;
    return true;
}

void readPositiveInt(const QSettings& settings, const char* key, int* value)
{
    qint64 parsed = 0;
    if (readPositive(settings, QLatin1String(key), INT_MAX, &parsed))
        *value = static_cast<int>(parsed);
}

// "2 раза", "5 раз", "22 раза": the count as Russian says it.
QString timesText(int count)
{
    const int lastTwo = count % 100;
    const int last = count % 10;
    const bool few = last >= 2 && last <= 4 && (lastTwo < 12 || lastTwo > 14);
    return QString::number(count) + (few ? QStringLiteral(" раза") : QStringLiteral(" раз"));
}

QString readableText(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// A file of at most a few bytes, read without ever blocking: a FIFO or a
// device in its place reads as unreadable.
std::optional<QByteArray> readSmallFile(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat info;
    std::optional<QByteArray> bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        char buffer[256];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got >= 0)
            bytes = QByteArray(buffer, static_cast<int>(got));
    }
    ::close(fd);
    return bytes;
}

bool processAlive(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno != EPERM)
        return false;
    // A zombie is dead: only its parent has not collected it yet.
    const std::optional<QByteArray> stat = readSmallFile(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat)
        return true;
    const int close = stat->lastIndexOf(')');
    return close < 0 || stat->size() < close + 3 || stat->at(close + 2) != 'Z';
}

} // namespace

bool HealthConfig::any() const
{
    return !pidFile.isEmpty() || !heartbeatFile.isEmpty() || !command.isEmpty() || minAvailableMemoryMB || maxLoad1;
}

std::optional<HealthConfig> readHealthConfig(const QSettings& settings)
{
    bool present = false;
    for (const QString& group : settings.childGroups())
        present = present || group.compare(QLatin1String("Health"), Qt::CaseInsensitive) == 0;
    if (!present)
        return std::nullopt;

    HealthConfig config;
    config.pidFile = configText(settings, QStringLiteral("Health/PidFile")).trimmed();
    config.heartbeatFile = configText(settings, QStringLiteral("Health/HeartbeatFile")).trimmed();
    config.command = configText(settings, QStringLiteral("Health/Command")).trimmed();
    config.repairCommand = configText(settings, QStringLiteral("Health/RepairCommand")).trimmed();
    readPositiveInt(settings, "Health/HeartbeatMaxAgeS", &config.heartbeatMaxAgeS);
    readPositiveInt(settings, "Health/CommandIntervalMs", &config.commandIntervalMs);
    readPositiveInt(settings, "Health/CommandTimeoutMs", &config.commandTimeoutMs);
    readPositiveInt(settings, "Health/Failures", &config.failures);
    readPositiveInt(settings, "Health/RepairTimeoutMs", &config.repairTimeoutMs);
    qint64 memory = 0;
    if (readPositive(settings, QStringLiteral("Health/MinAvailableMemoryMB"), LLONG_MAX / (1024 * 1024), &memory))
        config.minAvailableMemoryMB = memory;
    const QString loadKey = QStringLiteral("Health/MaxLoad1");
    if (configContains(settings, loadKey)) {
        const QString text = configRawText(settings, loadKey).trimmed();
        bool ok = false;
        const double load = text.toDouble(&ok);
        if (ok && load > 0 && load < 1e9)
            config.maxLoad1 = load;
        else
            qWarning().nospace() << "Ignoring " << loadKey << " = " << text << ": not a positive number";
    }
    return config;
}

HealthMonitor::HealthMonitor(HealthConfig config, HealthSources sources)
    : config(std::move(config))
    , sources(std::move(sources))
{
    checks[PidFile].name = QStringLiteral("PidFile");
    checks[Heartbeat].name = QStringLiteral("HeartbeatFile");
    checks[Command].name = QStringLiteral("Command");
    checks[Memory].name = QStringLiteral("MinAvailableMemoryMB");
    checks[Load].name = QStringLiteral("MaxLoad1");
}

HealthMonitor::~HealthMonitor()
{
    stop();
}

void HealthMonitor::start()
{
    if (config.command.isEmpty())
        return;
    commandTimer = std::make_unique<QTimer>();
    connect(commandTimer.get(), &QTimer::timeout, this, &HealthMonitor::runCommand);
    commandTimer->start(config.commandIntervalMs);
    runCommand();
}

void HealthMonitor::stop()
{
    stopped = true;
    commandTimer.reset();
    retire(command);
    retire(repair);
}

void HealthMonitor::retire(std::unique_ptr<HealthProcess>& process)
{
    // Killed, but not waited for: a shell stuck where even SIGKILL cannot
    // reach it (a hung network file system) must not hold up the stop that
    // disarms the watchdog. Whatever is left goes with this object.
    if (!process)
        return;
    process->killGroup();
    process.release()->dispose(this);
}

bool HealthMonitor::mayFeed()
{
    if (!failure.isEmpty())
        return false;
    if (!config.pidFile.isEmpty())
        evaluate(PidFile, pidFileProblem());
    if (!config.heartbeatFile.isEmpty())
        evaluate(Heartbeat, heartbeatProblem());
    if (config.minAvailableMemoryMB)
        evaluate(Memory, memoryProblem());
    if (config.maxLoad1)
        evaluate(Load, loadProblem());
    return failure.isEmpty();
}

void HealthMonitor::evaluate(size_t index, const std::optional<QString>& problem)
{
    Check& check = checks[index];
    if (!failure.isEmpty() || check.repairing)
        return;
    if (!problem) {
        if (check.consecutive > 0)
            qInfo().noquote() << QStringLiteral("Проверка %1 снова пройдена.").arg(readableText(check.name));
        check.consecutive = 0;
        return;
    }
    ++check.consecutive;
    if (check.consecutive < config.failures) {
        qWarning().noquote() << QStringLiteral("Проверка %1 не пройдена (%2 из %3): %4.")
                                    .arg(readableText(check.name))
                                    .arg(check.consecutive)
                                    .arg(config.failures)
                                    .arg(*problem);
        return;
    }
    fail(index, *problem);
}

void HealthMonitor::fail(size_t index, const QString& problem)
{
    Check& check = checks[index];
    if (!config.repairCommand.isEmpty() && !check.repaired) {
        runRepair(index, problem);
        return;
    }
    failure = check.name;
    failureDetail = problem;
    qCritical().noquote() << QStringLiteral("Проверка %1 не пройдена %2 подряд: %3. Кормление остановлено, "
                                            "Watchdog перезагрузит машину по истечении таймаута.")
                                 .arg(readableText(check.name))
                                 .arg(timesText(check.consecutive))
                                 .arg(problem);
    // The decision is final for this run: nothing more is checked or run.
    commandTimer.reset();
    retire(command);
    retire(repair);
    emit feedingMustStop();
}

std::optional<QString> HealthMonitor::pidFileProblem() const
{
    const std::optional<QByteArray> bytes = readSmallFile(config.pidFile);
    if (!bytes)
        return QStringLiteral("файл %1 не читается").arg(readableText(config.pidFile));
    bool ok = false;
    const long pid = QString::fromLatin1(*bytes).trimmed().toLong(&ok);
    // 0 and negative numbers would name process groups, not a process.
    if (!ok || pid <= 0 || pid > INT_MAX)
        return QStringLiteral("в файле %1 нет номера процесса").arg(readableText(config.pidFile));
    if (!processAlive(static_cast<pid_t>(pid)))
        return QStringLiteral("процесс %1 из файла %2 не существует").arg(pid).arg(readableText(config.pidFile));
    return std::nullopt;
}

std::optional<QString> HealthMonitor::heartbeatProblem() const
{
    struct stat info;
    if (::stat(QFile::encodeName(config.heartbeatFile).constData(), &info) != 0)
        return QStringLiteral("файл %1 отсутствует").arg(readableText(config.heartbeatFile));
    const qint64 now = sources.now ? sources.now() : QDateTime::currentSecsSinceEpoch();
    const qint64 age = now - static_cast<qint64>(info.st_mtime);
    if (age > config.heartbeatMaxAgeS)
        return QStringLiteral("файл %1 не обновлялся %2 с (допустимо %3 с)")
            .arg(readableText(config.heartbeatFile))
            .arg(age)
            .arg(config.heartbeatMaxAgeS);
    return std::nullopt;
}

std::optional<QString> HealthMonitor::memoryProblem() const
{
    const std::optional<QByteArray> bytes = readSmallFile(sources.meminfo);
    qint64 availableKiB = -1;
    if (bytes) {
        for (const QByteArray& line : bytes->split('\n')) {
            if (!line.startsWith("MemAvailable:"))
                continue;
            bool ok = false;
            const qint64 kiB = line.mid(13).trimmed().split(' ').value(0).toLongLong(&ok);
            availableKiB = ok && kiB >= 0 ? kiB : -1;
        }
    }
    if (availableKiB < 0)
        return QStringLiteral("доступная память (MemAvailable) не прочитана из %1").arg(readableText(sources.meminfo));
    const qint64 availableMB = availableKiB / 1024;
    if (availableMB < *config.minAvailableMemoryMB)
        return QStringLiteral("доступно %1 МБ памяти, нужно не меньше %2 МБ")
            .arg(availableMB)
            .arg(*config.minAvailableMemoryMB);
    return std::nullopt;
}

std::optional<QString> HealthMonitor::loadProblem() const
{
    const std::optional<QByteArray> bytes = readSmallFile(sources.loadavg);
    bool ok = false;
    const double load = bytes ? bytes->split(' ').value(0).toDouble(&ok) : 0;
    if (!ok)
        return QStringLiteral("средняя загрузка не прочитана из %1").arg(readableText(sources.loadavg));
    if (load > *config.maxLoad1)
        return QStringLiteral("средняя загрузка за минуту %1, допустимо не больше %2").arg(load).arg(*config.maxLoad1);
    return std::nullopt;
}

void HealthMonitor::runCommand()
{
    // One at a time: a command still running when the next is due keeps
    // running until its own time-out.
    if (stopped || command || !failure.isEmpty() || checks[Command].repairing)
        return;
    command = std::make_unique<HealthProcess>(config.command, config.commandTimeoutMs,
        [this](bool timedOut, int exitCode, bool crashed) { commandEnded(timedOut, exitCode, crashed); });
}

void HealthMonitor::commandEnded(bool timedOut, int exitCode, bool crashed)
{
    // The process object goes once control has left its signal.
    command.release()->dispose(this);
    std::optional<QString> problem;
    if (timedOut)
        problem = QStringLiteral("команда не завершилась за %1 мс и остановлена").arg(config.commandTimeoutMs);
    else if (crashed && exitCode > 0)
        // A process ended by a signal: Qt gives the signal's number.
        problem = QStringLiteral("команда завершена сигналом %1").arg(exitCode);
    else if (crashed)
        problem = QStringLiteral("команда не запустилась или завершилась аварийно");
    else if (exitCode != 0)
        problem = QStringLiteral("команда завершилась с кодом %1").arg(exitCode);
    evaluate(Command, problem);
}

void HealthMonitor::runRepair(size_t index, const QString& problem)
{
    Check& check = checks[index];
    check.repaired = true;
    check.repairing = true;
    qWarning().noquote() << QStringLiteral("Проверка %1 не пройдена %2 подряд: %3. Запуск команды восстановления, "
                                           "кормление продолжается.")
                                .arg(readableText(check.name))
                                .arg(timesText(check.consecutive))
                                .arg(problem);
    // A check that fails while the repair runs waits for that same run: one
    // repair command mends the machine, not one check.
    if (repair)
        return;
    repair = std::make_unique<HealthProcess>(
        config.repairCommand, config.repairTimeoutMs, [this](bool, int, bool) { repairEnded(); });
}

void HealthMonitor::repairEnded()
{
    repair.release()->dispose(this);
    for (size_t index = 0; index < CheckCount; ++index) {
        Check& check = checks[index];
        if (!check.repairing)
            continue;
        // The count goes on: one more failed evaluation after the repair is
        // the end, a good one lets feeding simply go on.
        check.repairing = false;
        if (index == Command)
            runCommand();
    }
}
