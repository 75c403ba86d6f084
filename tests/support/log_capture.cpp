#include "support/log_capture.h"

#include "core/logging.h"

namespace {

QStringList* captured = nullptr;

void capture(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (captured)
        captured->append(formatLogLine(type, QDateTime(), message).mid(1));
}

} // namespace

LogCapture::LogCapture()
    : own(new QStringList)
    , outer(captured)
{
    captured = own;
    previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
    captured = outer;
    delete own;
}

QStringList LogCapture::lines() const
{
    return *own;
}

int LogCapture::count(const QString& fragment) const
{
    int found = 0;
    for (const QString& line : *own)
        found += line.contains(fragment) ? 1 : 0;
    return found;
}
