#pragma once

#include "core/logging.h"

#include <QByteArray>
#include <QDateTime>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Every message is formatted as the daemon would format it, then dropped:
// writing it out would only slow the fuzzer down.
inline void dropMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    formatLogLine(type, QDateTime(), message);
}

inline void installQuietMessageHandler()
{
    qInstallMessageHandler(dropMessage);
}

inline QByteArray bytesOf(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size));
}

// A property the code must keep whatever the input; a broken one is a
// finding like a crash, with the input that broke it.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            qInstallMessageHandler(nullptr);                                                                           \
            qFatal("%s:%d: property broken: %s", __FILE__, __LINE__, #condition);                                      \
        }                                                                                                              \
    } while (false)
