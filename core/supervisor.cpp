#include "core/supervisor.h"

#include "core/globals.h"
#include "monitor/environment_monitor.h"

#include <QDebug>
#include <QFile>
#include <QLoggingCategory>

#include <utility>

Supervisor::Supervisor(
    Watchdog watchdog, EnvironmentMonitor* monitor, bool serialBoard, const QString& testFile, uid_t markerOwner)
    : watchdog(std::move(watchdog))
    , monitor(monitor)
    , serialBoard(serialBoard)
    , testFile(testFile)
    , testMarker(testFile, markerOwner)
{
}

void Supervisor::start()
{
    watchdog.strategy->wdt_start(watchdog.port, watchdog.timeoutSec);
    if (serialBoard && monitor) {
        monitor->queryStaticSensors();
        // With periodic monitoring on, the dynamic channels are read by the
        // first monitoring request instead.
        if (!envEnabled)
            monitor->queryDynamicSensors();
    }
}

Supervisor::Tick Supervisor::feedTick()
{
    if (stopped)
        return Tick::FeedingStopped;
    if (testMarker.check() == TestMarker::State::Honoured) {
        qWarning() << "!!! ТЕСТОВЫЙ РЕЖИМ !!! Кормление остановлено. Ожидание перезагрузки...";
        QFile::remove(testFile);
        return Tick::FeedingStopped;
    }
    watchdog.strategy->wdt_feed(watchdog.port, watchdog.timeoutSec);
    // qDebug() builds its whole message before the filter drops it; the
    // feed path runs for the life of the machine, so ask first.
    if (QLoggingCategory::defaultCategory()->isDebugEnabled())
        qDebug() << "Таймер сброшен.";

    // The pending environment reading comes after the feed; with a Super
    // I/O chip there is nothing to read and the request stays.
    if (envQueryRequest && serialBoard) {
        if (monitor)
            monitor->queryDynamicSensors();
        envQueryRequest = false;
    }
    return Tick::Fed;
}

void Supervisor::monitoringTick()
{
    qDebug() << "Запрос считывания датчиков окружения.";
    envQueryRequest = true;
}

void Supervisor::stop(int signalNumber)
{
    // No tick may follow the stop: for some chips a feed re-arms the
    // watchdog, which would then reset the machine after the daemon left.
    stopped = true;
    qInfo() << "Получен сигнал" << signalNumber << ". Остановка Watchdog и выход...";
    watchdog.strategy->wdt_stop(watchdog.port);
}
