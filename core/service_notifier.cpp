#include "core/service_notifier.h"

#include <QDebug>
#include <QtGlobal>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#ifdef WDT_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

#ifdef WDT_HAVE_SYSTEMD
bool underSystemd()
{
    return !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
}
#endif

// The period systemd wants the keep-alive at most, in microseconds; 0 when
// it wants none (no WatchdogSec=, or the request is for another process).
uint64_t watchdogUsec()
{
#ifdef WDT_HAVE_SYSTEMD
    uint64_t usec = 0;
    if (underSystemd() && sd_watchdog_enabled(0, &usec) > 0)
        return usec;
#endif
    return 0;
}

} // namespace

bool ServiceNotifier::compiledIn()
{
#ifdef WDT_HAVE_SYSTEMD
    return true;
#else
    return false;
#endif
}

QString ServiceNotifier::superIoPlace(uint16_t port)
{
    return QStringLiteral("port 0x") + QString::number(port, 16).toUpper();
}

ServiceNotifier::ServiceNotifier(Device device)
    : device(std::move(device))
{
    const uint64_t usec = watchdogUsec();
    if (usec == 0)
        return;
    // Half the period, as systemd advises: a keep-alive that comes a little
    // late behind a feed or a sensor reading is still in time.
    const uint64_t ms = std::clamp<uint64_t>(usec / 2000, 1, INT_MAX);
    keepAlive.setTimerType(Qt::PreciseTimer);
    QObject::connect(&keepAlive, &QTimer::timeout, [this] { send(QByteArrayLiteral("WATCHDOG=1")); });
    keepAlive.start(static_cast<int>(ms));
}

QString ServiceNotifier::deviceText() const
{
    return QStringLiteral("%1 %2 (%3) at %4, feed every %5 ms, timeout %6 s")
        .arg(device.vendor, device.model, device.modelCode, device.place)
        .arg(device.intervalMs)
        .arg(device.timeoutSec);
}

void ServiceNotifier::armed()
{
    // The serial board's start-up readings can take seconds; the unit is
    // still "activating" until they are done.
    status(QByteArray(), QStringLiteral("Armed, taking the start-up readings: ") + deviceText());
}

void ServiceNotifier::startupEnded()
{
    status(QByteArrayLiteral("READY=1\n"), QStringLiteral("Supervising ") + deviceText());
}

void ServiceNotifier::feedingStopped()
{
    status(QByteArray(),
        QStringLiteral("Test mode: feeding stopped, the watchdog resets the machine within %1 s: ")
                .arg(device.timeoutSec)
            + deviceText());
}

void ServiceNotifier::feedGateClosed()
{
    status(QByteArray(),
        QStringLiteral("A health check failed: feeding stopped, the watchdog resets the machine within %1 s: ")
                .arg(device.timeoutSec)
            + deviceText());
}

void ServiceNotifier::stopped()
{
    keepAlive.stop();
    status(
        QByteArrayLiteral("STOPPING=1\n"), QStringLiteral("Stopping, the watchdog's stop was sent: ") + deviceText());
}

void ServiceNotifier::status(const QByteArray& state, const QString& text)
{
    // One line: systemd shows the text as it is, and a line break in a
    // model name read from the hardware must not start another assignment.
    QString line = text;
    std::replace_if(
        line.begin(), line.end(), [](QChar c) { return c.category() == QChar::Other_Control; }, QChar(' '));
    send(state + "STATUS=" + line.toUtf8());
}

void ServiceNotifier::send(const QByteArray& message)
{
#ifdef WDT_HAVE_SYSTEMD
    if (!underSystemd())
        return;
    const int result = sd_notify(0, message.constData());
    if (result < 0 && !warned) {
        warned = true;
        qWarning() << "Не удалось отправить уведомление systemd:" << std::strerror(-result);
    }
#else
    Q_UNUSED(message);
#endif
}
