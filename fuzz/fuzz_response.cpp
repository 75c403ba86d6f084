// The response grammar of the environment monitor: a channel's command
// template (with its display format after the first colon) on the first
// line of the input, the board's reply bytes after it.

#include "fuzz/fuzz_support.h"
#include "monitor/sensors.h"
#include "serialctl/dcon_link.h"

#include <QBuffer>

namespace {

// No configuration file: address 1 on /dev/ttyS0, never opened here.
const Sensors& monitor()
{
    static const Sensors sensors(QStringLiteral("Generic_Tarvelo"), QStringLiteral("/nonexistent/wdt.ini"));
    return sensors;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    installQuietMessageHandler();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = bytesOf(data, size);
    const int lineEnd = input.indexOf('\n');
    const QString channel = QString::fromUtf8(lineEnd < 0 ? input : input.left(lineEnd));
    QByteArray line = lineEnd < 0 ? QByteArray() : input.mid(lineEnd + 1);

    const int colon = channel.indexOf(QLatin1Char(':'));
    const QString command = colon > 0 ? channel.left(colon) : channel;
    const QString format = colon > 0 ? channel.mid(colon + 1) : QString();

    monitor().replaceAddress(command);

    QBuffer device(&line);
    device.open(QIODevice::ReadOnly);
    const QString reply = replyText(readUntilQuiet(device));

    const QString value = monitor().parseResponse(reply, command);
    if (value.isEmpty())
        return 0;
    // A value comes from "!", two address digits and a token.
    FUZZ_CHECK(reply.contains(QLatin1Char('!')));
    FUZZ_CHECK(value == value.trimmed());
    // What a reading stores and logs.
    value.toFloat();
    monitor().formatValue(value, format);
    return 0;
}
