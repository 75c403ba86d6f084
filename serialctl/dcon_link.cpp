#include "serialctl/dcon_link.h"

#include "strategy/ini_values.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QSerialPort>

#include <algorithm>

DconLinkSettings readDconLinkSettings(const QSettings& settings)
{
    DconLinkSettings link;
    link.portName = configText(settings, QStringLiteral("Vendor_Tarvelo/Port"), QStringLiteral("/dev/ttyS0"));
    link.baudRate
        = configValue(settings, QStringLiteral("Vendor_Tarvelo/Baud"), QStringLiteral("9600")).toString().toInt();
    link.address = static_cast<int>(
        readHex(configValue(settings, QStringLiteral("Vendor_Tarvelo/Address"), QStringLiteral("1")).toString()));
    return link;
}

void setUpDconPort(QSerialPort& port, const DconLinkSettings& link)
{
    port.setPortName(link.portName);
    port.setBaudRate(link.baudRate, QSerialPort::AllDirections);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
}

QByteArray dconRequestLine(const QString& command)
{
    return (command + QLatin1Char('\r')).toUtf8();
}

QByteArray readUntilQuiet(QIODevice& device, const QuietReplyLimits& limits, bool* cutOff)
{
    QElapsedTimer sinceFirstByte;
    sinceFirstByte.start();
    QByteArray reply = device.read(limits.maxBytes);
    bool bounded = false;
    for (;;) {
        const qint64 left = limits.totalMs - sinceFirstByte.elapsed();
        if (reply.size() >= limits.maxBytes || left <= 0) {
            bounded = true;
            break;
        }
        const int wait = static_cast<int>(std::min<qint64>(limits.quietMs, left));
        if (!device.waitForReadyRead(wait)) {
            // A wait cut short by the time bound saw no full quiet gap.
            bounded = wait < limits.quietMs;
            break;
        }
        // Bytes beyond the size bound stay unread and go with the port.
        reply += device.read(limits.maxBytes - reply.size());
    }
    if (cutOff)
        *cutOff = bounded;
    return reply;
}

QString replyText(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul)).trimmed();
}

namespace {

// Per device: until when a late answer to an unanswered request may still
// arrive. The watchdog link and the monitor reach the same board through
// ports of their own, so the note belongs to the device, not to a port.
QHash<QString, QDeadlineTimer>& lateReplyDeadlines()
{
    static QHash<QString, QDeadlineTimer> deadlines;
    return deadlines;
}

// A module that answers just after the wait ended would otherwise have its
// reply read as the answer to the next request: "T1=10" for T0's value.
void waitOutLateReply(QSerialPort& port)
{
    const auto found = lateReplyDeadlines().find(port.portName());
    if (found == lateReplyDeadlines().end())
        return;
    const QDeadlineTimer deadline = found.value();
    lateReplyDeadlines().erase(found);
    while (!deadline.hasExpired()) {
        if (port.waitForReadyRead(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1))))
            port.readAll();
    }
}

} // namespace

int dconExchangeWorstCaseMs(const DconTiming& timing)
{
    return (timing.drainLateReplies ? kLateReplyGraceMs : 0) + timing.writeTimeoutMs + timing.replyTimeoutMs
        + QuietReplyLimits().quietMs;
}

DconExchange exchangeDconLine(QSerialPort& port, const QString& command, const DconTiming& timing)
{
    DconExchange exchange;
    if (timing.drainLateReplies)
        waitOutLateReply(port);
    port.clear(QSerialPort::Input);

    QElapsedTimer clock;
    clock.start();
    const QByteArray request = dconRequestLine(command);
    port.write(request);
    if (!port.waitForBytesWritten(timing.writeTimeoutMs))
        return exchange;
    exchange.outcome = DconExchange::Outcome::NoReply;
    const qint64 replyDeadline = clock.elapsed() + timing.replyTimeoutMs;
    // The waits for the write and for the first byte bound a silent board;
    // a talking one gets no more in all, but always one quiet gap to end
    // its reply in.
    const qint64 budget = timing.writeTimeoutMs + timing.replyTimeoutMs;
    QuietReplyLimits limits;

    QByteArray bytes;
    bool echoRemoved = false;
    for (;;) {
        const qint64 left = replyDeadline - clock.elapsed();
        if (left <= 0 || !port.waitForReadyRead(static_cast<int>(left)))
            break;
        // The first bytes are rarely the whole reply: "!01+25.50" cut after
        // "!01+25" would read as 25.
        limits.totalMs = static_cast<int>(std::max<qint64>(budget - clock.elapsed(), limits.quietMs));
        limits.maxBytes = QuietReplyLimits().maxBytes - bytes.size();
        bytes += readUntilQuiet(port, limits, &exchange.cutOff);
        if (!echoRemoved && bytes.startsWith(request)) {
            // The adapter's own echo of the request; the board's reply may
            // follow after a pause longer than the quiet gap.
            echoRemoved = true;
            bytes.remove(0, request.size());
            if (bytes.isEmpty() && !exchange.cutOff)
                continue;
        }
        if (!bytes.isEmpty() || exchange.cutOff) {
            exchange.outcome = DconExchange::Outcome::Reply;
            exchange.reply = replyText(bytes);
            exchange.replyBytes = bytes.size();
        }
        break;
    }
    if (exchange.outcome == DconExchange::Outcome::NoReply)
        lateReplyDeadlines().insert(port.portName(), QDeadlineTimer(kLateReplyGraceMs));
    return exchange;
}
