#include "serialctl/dcon_link.h"

#include "strategy/ini_values.h"

#include <QElapsedTimer>
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

DconExchange exchangeDconLine(QSerialPort& port, const QString& command, int writeTimeoutMs, int replyTimeoutMs)
{
    DconExchange exchange;
    port.clear(QSerialPort::Input);
    port.write(dconRequestLine(command));
    if (!port.waitForBytesWritten(writeTimeoutMs))
        return exchange;
    exchange.outcome = DconExchange::Outcome::NoReply;
    if (!port.waitForReadyRead(replyTimeoutMs))
        return exchange;
    // The first bytes are rarely the whole reply: "!01+25.50" cut after
    // "!01+25" would read as 25.
    const QByteArray bytes = readUntilQuiet(port, QuietReplyLimits(), &exchange.cutOff);
    exchange.outcome = DconExchange::Outcome::Reply;
    exchange.reply = replyText(bytes);
    exchange.replyBytes = bytes.size();
    return exchange;
}
