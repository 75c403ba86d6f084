#include "core/daemon.h"

#include "core/config.h"
#include "core/file_checks.h"
#include "core/globals.h"
#include "core/health.h"
#include "core/instance_lock.h"
#include "core/lock_namespace.h"
#include "core/logging.h"
#include "core/metrics_file.h"
#include "core/privileges.h"
#include "core/service_notifier.h"
#include "core/signal_pipe.h"
#include "core/state_file.h"
#include "core/supervisor.h"
#include "strategy/ini_values.h"
#include "strategy/superio_manager.h"
#include "superio/kernel_conflicts.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace {

const char kSerialBoardVendor[] = "Tarvelo";

// The supervisor of the running daemon, for the stop on a signal.
Supervisor* runningSupervisor = nullptr;

// Clears the globals that point into main's objects when they go away, on
// every way out, so nothing can reach a destroyed manager or monitor.
struct GlobalsReset {
    std::unique_ptr<EnvironmentMonitor> monitor;

    ~GlobalsReset()
    {
        runningSupervisor = nullptr;
        sensors = nullptr;
        monitor.reset();
        globalSio = nullptr;
    }
};

std::shared_ptr<IVendorStrategy> create(const std::function<std::shared_ptr<IVendorStrategy>()>& make)
{
    return make ? make() : nullptr;
}

// All candidates are tried on one port before any is tried on the next.
bool detect(SuperIOManager& manager, const std::vector<uint16_t>& ports, const std::shared_ptr<IVendorStrategy>& board)
{
    for (const uint16_t port : ports) {
        for (const auto& candidate : manager.strategies) {
            if (candidate->probe(port)) {
                manager.current = candidate;
                manager.port = port;
                return true;
            }
        }
    }
    // The serial board's probe gives the port no meaning: without a usable
    // port a machine whose only watchdog is the board must still find it.
    if (ports.empty() && board && board->probe(0)) {
        manager.current = board;
        manager.port = 0;
        return true;
    }
    return false;
}

} // namespace

void shutdownHandler(int signalNumber)
{
    if (runningSupervisor)
        runningSupervisor->stop(signalNumber);
    QCoreApplication::quit();
}

uint8_t timeoutForInterval(int intervalMs)
{
    return static_cast<uint8_t>(std::min(intervalMs / 500 + 1, 255));
}

int runDaemon(int argc, char** argv, const DaemonParts& parts, const DaemonEnvironment& environment)
{
    const EnvironmentScope scope(environment);
    installMessageHandler();
    // Once, before the first reader: every reader (the monitor's too) opens
    // the file by itself, and a FIFO there would hold start-up before arming.
    CONFIG_FILE = configurationFileToRead(CONFIG_FILE);

    setupDebugFromConfig(CONFIG_FILE);
    setupTarveloForce(CONFIG_FILE);
    setupMonitoringFromConfig(CONFIG_FILE);

    if (environment.privileges->getuid() != 0) {
        qCritical() << "Требуются права ROOT (sudo)!";
        return 1;
    }
    // Checked also when only the serial board is wanted: the daemon is meant
    // to run where it may reach the Super I/O ports.
    if (environment.privileges->iopl(3) != 0) {
        qCritical() << "Ошибка iopl(3): доступ к портам ввода-вывода запрещен!";
        return 1;
    }
    // Before anything is probed: a second daemon must not touch the ports.
    InstanceLock instanceLock(PID_FILE);
    if (instanceLock.acquire() == InstanceLock::Result::HeldElsewhere)
        return 1;
    // Before the first serial open (detection), and while the process has
    // no thread besides this one, which the namespace requires.
    usePrivateLockDirectories(environment.lockDirectories);

    QCoreApplication app(argc, argv);
    QSettings settings(CONFIG_FILE, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");

    // The serial device may be a console or another field device: with the
    // probe off the daemon never writes to it, so forcing the board then
    // leaves nothing to supervise.
    const bool probeBoard = readSerialBoardProbe(settings);
    if (tarveloEnabled && !probeBoard) {
        qCritical() << "Принудительный выбор Tarvelo невозможен: опрос платы отключен (Vendor_Tarvelo/Probe)!";
        return 1;
    }

    GlobalsReset globalsReset;
    SuperIOManager manager;
    globalSio = &manager;

    // The Super I/O candidates exist also when the serial board is forced;
    // they are then neither configured nor probed.
    const std::pair<const char*, std::shared_ptr<IVendorStrategy>> superIo[] = {
        { "Fintek", create(parts.makeFintek) },
        { "ITE", create(parts.makeIte) },
        { "Nuvoton", create(parts.makeNuvoton) },
    };
    for (const auto& [vendorWord, strategy] : superIo) {
        if (strategy && !tarveloEnabled)
            loadVendorConfig(settings, QLatin1String(vendorWord), strategy, manager);
    }
    std::shared_ptr<IVendorStrategy> board;
    if (!probeBoard)
        qInfo() << "=== Опрос платы Tarvelo отключен ===";
    else if (parts.makeSerialBoard)
        board = parts.makeSerialBoard(settings);
    if (board)
        manager.strategies.push_back(board);

    // Before the first probe touches the Super I/O configuration ports.
    if (!tarveloEnabled)
        warnAboutConflictingKernelModules(MODULES_FILE);
    if (!detect(manager, readScanPorts(settings), board)) {
        qCritical() << "Поддерживаемое устройство Watchdog не найдено!";
        return 1;
    }

    const QString vendor = QString::fromStdString(manager.vendor());
    const QString model = QString::fromStdString(manager.model());
    const QString modelCode = QString::fromStdString(manager.current->model_code());
    const QString vendorSection = QStringLiteral("Vendor_") + vendor;
    const bool serialBoard = vendor == QLatin1String(kSerialBoardVendor);

    if (serialBoard) {
        handOverDconTemplates(settings, manager, model);
        if (parts.makeMonitor) {
            globalsReset.monitor = parts.makeMonitor(model, CONFIG_FILE);
            sensors = globalsReset.monitor.get();
        }
    } else {
        handOverRegisterLists(settings, *manager.current, model, vendorSection);
    }

    qInfo() << "Обнаружено устройство:" << vendor << "Модель:" << model << "(" << modelCode << ")";

    const int intervalMs = readIntervalMs(settings, model);
    // The timeout is 8 bits wide: past 255 s it would wrap to a tiny value
    // (or 0, which disarms), so refuse rather than arm a watchdog that the
    // next feed cannot reach in time.
    if (intervalMs > kLongestFeedIntervalMs) {
        qCritical() << "Интервал кормления слишком велик: таймаут Watchdog не может превышать 255 сек.";
        return 1;
    }
    const uint8_t timeoutSec = timeoutForInterval(intervalMs);

    SignalPipe signalPipe;
    if (!signalPipe.install()) {
        qCritical() << "Не удалось установить обработчик сигналов SIGINT/SIGTERM!";
        return 1;
    }
    // From arming on, a hang-up or a stray signal must not end the process
    // with the watchdog armed: it is answered with a warning.
    if (!signalPipe.installStraySignals())
        qWarning() << "Не удалось установить обработчик прочих сигналов: они завершают процесс!";

    // Why the run before this one ended, said before this one arms.
    const QString stateFilePath = readStateFilePath(settings);
    const StateFile::Previous previousRun = StateFile::read(stateFilePath);
    if (!stateFilePath.isEmpty())
        StateFile::logPrevious(previousRun);
    // Opt-in health checks; without a [Health] section nothing is checked.
    const std::optional<HealthConfig> healthConfig = readHealthConfig(settings);
    const std::unique_ptr<HealthMonitor> health = healthConfig && healthConfig->any()
        ? std::make_unique<HealthMonitor>(
            *healthConfig, HealthSources { environment.meminfoFile, environment.loadavgFile, {} })
        : nullptr;

    qInfo() << "Запуск Watchdog. Интервал кормления:" << intervalMs << "мс, Таймаут:" << int(timeoutSec) << "сек.";
    // The board's serial device as the board was made with it; read raw, as
    // its warning, if any, was logged when the board was made.
    const QString serialDevice = serialBoard
        ? configRawText(settings, QStringLiteral("Vendor_Tarvelo/Port"), QStringLiteral("/dev/ttyS0"))
        : QString();
    // Silent unless systemd started the daemon with a notification socket.
    // Declared before the supervisor, which tells it of every step.
    ServiceNotifier serviceNotifier({ vendor, model, modelCode,
        serialBoard ? serialDevice : ServiceNotifier::superIoPlace(manager.port), intervalMs, timeoutSec });
    // Likewise; none without "Global/MetricsFile".
    const std::unique_ptr<MetricsFile> metricsFile = makeMetricsFile(settings,
        { vendor, model, modelCode,
            serialBoard ? serialDevice : QStringLiteral("0x") + QString::number(manager.port, 16).toUpper(), intervalMs,
            timeoutSec },
        sensors);
    // Likewise; none without "Global/StateFile".
    const std::unique_ptr<StateFile> stateFile
        = stateFilePath.isEmpty() ? nullptr : std::make_unique<StateFile>(stateFilePath, [&health] {
              return health ? std::make_pair(health->failedCheck(), health->failureReason())
                            : std::pair<QString, QString>();
          });
    Supervisor supervisor({ manager.current, manager.port, timeoutSec, intervalMs }, sensors, serialBoard, TEST_FILE,
        environment.markerOwner);
    runningSupervisor = &supervisor;
    supervisor.addObserver(&serviceNotifier);
    if (metricsFile) {
        metricsFile->setHealthChecked(health != nullptr);
        metricsFile->setPreviousRun(StateFile::word(previousRun.ending));
        supervisor.addObserver(metricsFile.get());
    }
    if (stateFile)
        supervisor.addObserver(stateFile.get());
    if (health) {
        supervisor.setFeedGate([&health] { return health->mayFeed(); });
        // The command's verdict comes between ticks: feeding stops at once.
        QObject::connect(health.get(), &HealthMonitor::feedingMustStop, [&supervisor] { supervisor.closeFeedGate(); });
    }
    supervisor.start();
    if (health)
        health->start();

    // Readings run one per turn of the event loop, so that a stop signal
    // waits at most for the one in progress. Not a zero timer: the event
    // loop runs those only when no other timer is due, and a feed timer
    // whose feed takes longer than its interval is always due.
    QTimer readingTimer;
    readingTimer.setSingleShot(true);
    readingTimer.setTimerType(Qt::PreciseTimer);
    const auto readSoon = [&readingTimer] {
        if (!readingTimer.isActive())
            readingTimer.start(1);
    };
    QObject::connect(&readingTimer, &QTimer::timeout, [&] {
        if (supervisor.readNext())
            readSoon();
    });

    QTimer envTimer;
    if (envEnabled) {
        QObject::connect(&envTimer, &QTimer::timeout, [&] { supervisor.monitoringTick(); });
        envTimer.start(envIntervalMs);
    }

    QTimer feedTimer;
    // A coarse timer may fire up to 5 % off its period.
    feedTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&feedTimer, &QTimer::timeout, [&] {
        if (supervisor.feedTick() == Supervisor::Tick::FeedingStopped)
            feedTimer.stop();
        else
            readSoon();
    });
    // Started right after arming: the start-up readings fit around the
    // first feed like any others.
    feedTimer.start(intervalMs);
    if (supervisor.readingPending())
        readSoon();

    QObject::connect(&signalPipe, &SignalPipe::received, [&](int signalNumber) {
        feedTimer.stop();
        envTimer.stop();
        readingTimer.stop();
        // A check's command still running is killed, not waited for.
        if (health)
            health->stop();
        shutdownHandler(signalNumber);
    });

    return app.exec();
}
