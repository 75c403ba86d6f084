#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QSettings>
#include <QString>

class QSerialPort;

// The DCON serial line to the controller board: ASCII request lines ended by
// one carriage return, each answered (or not) by one reply line. The watchdog
// strategy and the environment monitor both speak it, each through a port of
// its own and with its own timing and messages; the line itself is read and
// written here only.

/// Where and how fast the board listens, from "Vendor_Tarvelo": Port
/// (default "/dev/ttyS0"), Baud (decimal, default 9600) and Address
/// (hexadecimal, default 1).
struct DconLinkSettings {
    QString portName;
    int baudRate = 9600;
    int address = 1;
};

DconLinkSettings readDconLinkSettings(const QSettings& settings);

/// Sets @p port up for the link: device name, baud rate in both directions,
/// 8 data bits, no parity, one stop bit.
void setUpDconPort(QSerialPort& port, const DconLinkSettings& link);

/// The bytes of one request: the command and one carriage return; the board
/// wants no line feed.
QByteArray dconRequestLine(const QString& command);

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

/// What became of one request.
struct DconExchange {
    enum class Outcome {
        NotWritten, // the request did not leave within the write time
        NoReply, // no reply byte arrived within the reply time
        Reply,
    };
    Outcome outcome = Outcome::NotWritten;
    /// The reply as text (replyText()); empty unless there was a reply.
    QString reply;
    /// Bytes collected, and whether a bound of the collection ended it.
    int replyBytes = 0;
    bool cutOff = false;
};

/// How one exchange waits.
struct DconTiming {
    /// For the request to leave.
    int writeTimeoutMs = 200;
    /// For the first reply byte, counted from the end of the write.
    int replyTimeoutMs = 200;
    /// Whether an answer that came too late for an earlier request on the
    /// same device may still be on its way, and must be waited out first.
    bool drainLateReplies = false;
};

/// How long an unanswered request's late reply is waited out at the start
/// of the next exchange that asks for it (DconTiming::drainLateReplies).
constexpr int kLateReplyGraceMs = 100;

/// The longest an exchange with @p timing blocks: the late-reply grace when
/// asked for, the write and reply waits, and the collection, which shares
/// their bound.
int dconExchangeWorstCaseMs(const DconTiming& timing);

/// One request on @p port, which the caller has opened and closes again:
/// waits out a late answer when asked to, drops whatever else waited in the
/// input (an answer to an earlier request or noise must not pass for this
/// reply), writes the request line, waits for it to leave and for the first
/// reply byte, then collects the reply until the line falls quiet. The whole
/// exchange after the grace stays within the write and reply waits together,
/// however long a board keeps talking. A reply that starts with the request
/// line itself, as an RS-485 adapter echoes it, has that echo removed.
DconExchange exchangeDconLine(QSerialPort& port, const QString& command, const DconTiming& timing);
