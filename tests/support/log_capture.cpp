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
{
    captured = new QStringList;
    previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
    delete captured;
    captured = nullptr;
}

QStringList LogCapture::lines() const
{
    return *captured;
}

int LogCapture::count(const QString& fragment) const
{
    int found = 0;
    for (const QString& line : *captured)
        found += line.contains(fragment) ? 1 : 0;
    return found;
}
