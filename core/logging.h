#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

/// The one Qt message handler: time stamp, level tag, standard output and
/// an append to LOG_FILE, which is opened and closed again for every line.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

/// The log line for one message, without the line end.
QString formatLogLine(QtMsgType type, const QDateTime& when, const QString& message);

/// First step of start-up: makes the standard streams safe to write to and
/// installs messageHandler.
void installMessageHandler();
