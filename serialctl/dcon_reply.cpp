#include "serialctl/dcon_reply.h"

#include <QElapsedTimer>

#include <algorithm>

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
