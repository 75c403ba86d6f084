#pragma once

#include "core/supervisor.h"

#include <QByteArray>
#include <QString>
#include <QTimer>

#include <cstdint>

// Tells systemd what the daemon is doing when systemd started it with a
// notification socket (Type=notify): ready once the watchdog is armed and the
// start-up readings are done, a one-line status for "systemctl status", the
// stop, and a keep-alive when the unit asks for one (WatchdogSec=).
//
// Outside systemd (no NOTIFY_SOCKET), and in a build without libsystemd,
// nothing is sent and nothing is logged.
class ServiceNotifier : public SupervisorObserver {
public:
    // What the status line names.
    struct Device {
        QString vendor;
        QString model;
        QString modelCode;
        // "port 0x2E" for a Super I/O chip, the serial device for the board.
        QString place;
        int intervalMs = 0;
        int timeoutSec = 0;
    };

    /// Whether this build can notify systemd at all.
    static bool compiledIn();
    static QString superIoPlace(uint16_t port);

    /// The keep-alive starts here when systemd asks for one; it fires only
    /// while the event loop runs, and it keeps firing when the feeding stops
    /// on purpose: the daemon is alive, and a restart by systemd would arm
    /// and feed the watchdog again, defeating the test.
    explicit ServiceNotifier(Device device);
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    /// The device as the status line shows it.
    QString deviceText() const;
    /// The period of the keep-alive in ms; 0 when systemd wants none.
    int keepAliveMs() const { return keepAlive.isActive() ? keepAlive.interval() : 0; }

    void armed() override;
    void startupEnded() override;
    void feedingStopped() override;
    void feedGateClosed() override;
    void stopped() override;

private:
    void send(const QByteArray& message);
    void status(const QByteArray& state, const QString& text);

    const Device device;
    QTimer keepAlive;
    // One warning for a socket that refuses messages, not one per keep-alive.
    bool warned = false;
};
