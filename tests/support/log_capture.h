#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects the messages logged while it lives, as "[TAG  ] text" (the
// daemon's tags, no time stamp), instead of printing them. Captures nest: an
// inner one takes the messages while it lives, then the outer one again.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    int count(const QString& fragment) const;

private:
    QStringList* const own;
    QStringList* const outer;
    QtMessageHandler previous;
};
