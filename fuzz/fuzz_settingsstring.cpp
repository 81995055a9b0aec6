// Feeds arbitrary text to the serial settings-string parser. An accepted string must be one the
// control can apply: a known baud rate, parity, data and stop bits.

#include "serialsettingsstring.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    QString why;
    const auto s = parseLineSettings(text, &why);
    if (!s) {
        if (why.isEmpty())
            std::abort();
        return 0;
    }
    if (s->baud < 110 || s->baud > 4000000 || s->dataBits < QSerialPort::Data5 || s->dataBits > QSerialPort::Data8)
        std::abort();
    if (text.count(u',') != 3)
        std::abort();
    return 0;
}
