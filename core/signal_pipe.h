#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// Carries SIGINT and SIGTERM from their asynchronous arrival into the event
// loop: the handler only writes the signal number into a pipe, and the
// notifier on its other end emits received() between two timer ticks, so
// the stop never cuts into a running hardware sequence.
class SignalPipe : public QObject {
    Q_OBJECT
public:
    SignalPipe();
    ~SignalPipe() override;

    /// Opens the pipe and installs the handler for SIGINT and SIGTERM.
    bool install();

signals:
    /// The first signal noted; later ones are dropped.
    void received(int signalNumber);

private:
    void drain();

    int readFd = -1;
    int writeFd = -1;
    bool delivered = false;
    std::unique_ptr<QSocketNotifier> notifier;
};
