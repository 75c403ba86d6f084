#include "monitor/quiet_reply.h"

#include <QElapsedTimer>

#include <algorithm>

QByteArray readUntilQuiet(QIODevice& device, const QuietReplyLimits& limits)
{
    QElapsedTimer sinceFirstByte;
    sinceFirstByte.start();
    QByteArray reply = device.read(limits.maxBytes);
    while (reply.size() < limits.maxBytes) {
        const qint64 left = limits.totalMs - sinceFirstByte.elapsed();
        if (left <= 0)
            break;
        if (!device.waitForReadyRead(static_cast<int>(std::min<qint64>(limits.quietMs, left))))
            break;
        reply += device.read(limits.maxBytes - reply.size());
    }
    return reply;
}

QString replyText(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul)).trimmed();
}
