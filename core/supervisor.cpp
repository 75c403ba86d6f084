#include "core/supervisor.h"

#include "core/globals.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>

#include <utility>

Supervisor::Clock Supervisor::steadyClock()
{
    return [] {
        static QElapsedTimer sinceFirstUse = [] {
            QElapsedTimer timer;
            timer.start();
            return timer;
        }();
        return sinceFirstUse.elapsed();
    };
}

Supervisor::Supervisor(Watchdog watchdog, EnvironmentMonitor* monitor, bool serialBoard, const QString& testFile,
    uid_t markerOwner, Clock clock)
    : watchdog(std::move(watchdog))
    , monitor(monitor)
    , serialBoard(serialBoard)
    , testFile(testFile)
    , testMarker(testFile, markerOwner)
    , clock(std::move(clock))
{
}

void Supervisor::start()
{
    watchdog.strategy->wdt_start(watchdog.port, watchdog.timeoutSec);
    nextFeedDueMs = clock() + watchdog.intervalMs;
    tell(&SupervisorObserver::armed);
    if (serialBoard && monitor) {
        queue(EnvironmentMonitor::Table::Static);
        // With periodic monitoring on, the dynamic channels are read by the
        // first monitoring request instead.
        if (!envEnabled)
            queue(EnvironmentMonitor::Table::Dynamic);
    }
    endStartupWhenRead();
}

Supervisor::Tick Supervisor::feedTick()
{
    if (stopped || stopCause != FeedingStop::None)
        return Tick::FeedingStopped;
    // The tick fires when the feed is due; the next one is due an interval
    // after this one, however long the feed itself takes.
    const qint64 tickAt = clock();
    if (testMarker.check() == TestMarker::State::Honoured) {
        qWarning() << "!!! ТЕСТОВЫЙ РЕЖИМ !!! Кормление остановлено. Ожидание перезагрузки...";
        QFile::remove(testFile);
        return stopFeeding(FeedingStop::TestMode);
    }
    if (feedGate && !feedGate())
        return stopFeeding(FeedingStop::Gate);
    watchdog.strategy->wdt_feed(watchdog.port, watchdog.timeoutSec);
    nextFeedDueMs = tickAt + watchdog.intervalMs;
    readSinceFeed = false;
    tell(&SupervisorObserver::fed);
    // qDebug() builds its whole message before the filter drops it; the
    // feed path runs for the life of the machine, so ask first.
    if (QLoggingCategory::defaultCategory()->isDebugEnabled())
        qDebug() << "Таймер сброшен.";

    // The pending environment reading comes after the feed; with a Super
    // I/O chip there is nothing to read and the request stays. A request
    // that comes while a sweep is still being read waits for its end, so
    // that each sweep reads every channel once.
    if (envQueryRequest && serialBoard && pending.empty()) {
        if (monitor)
            queue(EnvironmentMonitor::Table::Dynamic);
        envQueryRequest = false;
    }
    return Tick::Fed;
}

void Supervisor::closeFeedGate()
{
    if (!stopped)
        stopFeeding(FeedingStop::Gate);
}

Supervisor::Tick Supervisor::stopFeeding(FeedingStop cause)
{
    // Once: a gate may close itself while it is asked.
    if (stopCause != FeedingStop::None)
        return Tick::FeedingStopped;
    stopCause = cause;
    // Readings only ever followed a feed: with the feeding, they end, and so
    // does a start-up that was still reading.
    if (!pending.empty()) {
        pending.clear();
        endStartupWhenRead();
    }
    tell(cause == FeedingStop::Gate ? &SupervisorObserver::feedGateClosed : &SupervisorObserver::feedingStopped);
    return Tick::FeedingStopped;
}

void Supervisor::monitoringTick()
{
    qDebug() << "Запрос считывания датчиков окружения.";
    envQueryRequest = true;
}

bool Supervisor::readNext()
{
    if (stopped || pending.empty())
        return false;
    const qint64 needed = monitor->readingWorstCaseMs() + kReadingMarginMs;
    const bool fits = clock() + needed <= nextFeedDueMs;
    // Below twice a reading's worst case, a feed that took long can leave
    // too little of the interval for any reading at all. One reading right
    // after the feed delays the next feed by less than one reading, well
    // inside the timeout.
    const bool allowed = !readSinceFeed && watchdog.intervalMs < 2 * needed;
    if (!fits && !allowed)
        return false;
    const auto [table, index] = pending.front();
    pending.pop_front();
    readSinceFeed = true;
    monitor->readChannel(table, index);
    if (pending.empty())
        tell(&SupervisorObserver::sweepEnded);
    endStartupWhenRead();
    return !pending.empty();
}

void Supervisor::stop(int signalNumber)
{
    // No tick may follow the stop: for some chips a feed re-arms the
    // watchdog, which would then reset the machine after the daemon left.
    stopped = true;
    pending.clear();
    qInfo() << "Получен сигнал" << signalNumber << ". Остановка Watchdog и выход...";
    watchdog.strategy->wdt_stop(watchdog.port);
    tell(&SupervisorObserver::stopped);
}

void Supervisor::queue(EnvironmentMonitor::Table table)
{
    const int channels = monitor->channelCount(table);
    for (int i = 0; i < channels; ++i)
        pending.emplace_back(table, i);
}

void Supervisor::endStartupWhenRead()
{
    if (startupEnded || !pending.empty())
        return;
    startupEnded = true;
    qInfo("*****************\n");
    tell(&SupervisorObserver::startupEnded);
}
