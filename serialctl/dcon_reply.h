#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

// The board ends its replies with no length and no terminator that can be
// relied on, and at 9600 baud a byte takes about a millisecond, so a reply
// arrives in pieces. It is complete once the line has been quiet for a
// while. A babbling line must not hold the daemon's only thread, so the
// collection is bounded in time and size as well.
struct QuietReplyLimits {
    int quietMs = 20;
    // Counted from the first byte.
    int totalMs = 1000;
    int maxBytes = 4096;
};

// Collects a reply whose first bytes are already waiting on @p device: reads
// them, then keeps reading as long as more arrive within the quiet time, up
// to the bounds. Whatever was collected by then is the reply, cut to the
// size bound; @p cutOff tells whether a bound ended it.
QByteArray readUntilQuiet(
    QIODevice& device, const QuietReplyLimits& limits = QuietReplyLimits(), bool* cutOff = nullptr);

// Reply bytes as text: UTF-8 up to the first NUL byte, trimmed at both ends
// (which also drops the carriage return that ends a line).
QString replyText(const QByteArray& bytes);
