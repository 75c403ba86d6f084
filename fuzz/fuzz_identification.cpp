// The identification reply of the serial controller board, from the bytes
// on the line to the model code: reply collection and its size bound, the
// reply text, and the check of the answering address. The first two input
// bytes are the board's configured address.

#include "fuzz/fuzz_support.h"
#include "serialctl/dcon_link.h"
#include "serialctl/tarvelo_vendor.h"

#include <QBuffer>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    installQuietMessageHandler();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int address = data[0] << 8 | data[1];
    QByteArray line = bytesOf(data + 2, size - 2);

    // The whole reply is already waiting, as after a burst at line speed.
    QBuffer device(&line);
    device.open(QIODevice::ReadOnly);
    const QuietReplyLimits limits;
    bool cutOff = false;
    const QByteArray reply = readUntilQuiet(device, limits, &cutOff);
    FUZZ_CHECK(reply.size() <= limits.maxBytes);
    FUZZ_CHECK(line.startsWith(reply));

    const QString text = replyText(reply);
    FUZZ_CHECK(!text.contains(QChar(0)));
    FUZZ_CHECK(text == text.trimmed());

    QString code;
    if (identificationCode(text, address, &code)) {
        FUZZ_CHECK(text.endsWith(code));
        FUZZ_CHECK(text.startsWith(QLatin1Char('!') + dconAddressText(address)));
        tarvelo_ids.find(code.toStdString());
    }

    // The same text as a command template of the board's section.
    expandDconTemplate(text, address);
    expandDconSetTemplate(text, address, static_cast<uint8_t>(address));
    return 0;
}
