// Register lists and the value forms under them: one list item per line, as
// the INI reader hands a comma-separated value over.

#include "core/config.h"
#include "fuzz/fuzz_support.h"

#include <QStringList>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    installQuietMessageHandler();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QStringList items = QString::fromUtf8(bytesOf(data, size)).split(QLatin1Char('\n'));

    const RegList all = parseCmds(items);
    // Items are read one by one: the list is the items' writes in order,
    // at most one each.
    RegList oneByOne;
    for (const QString& item : items) {
        const RegList single = parseCmds(QStringList { item });
        FUZZ_CHECK(single.size() <= 1);
        oneByOne.insert(oneByOne.end(), single.begin(), single.end());

        uint value = 0;
        const bool readable = parseHex(item, &value);
        FUZZ_CHECK(readHex(item) == (readable ? value : 0u));
        readSwitch(item);
    }
    FUZZ_CHECK(all == oneByOne);
    return 0;
}
