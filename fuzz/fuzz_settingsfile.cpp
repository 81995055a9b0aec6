// Feeds arbitrary bytes to the settings-file reader. Whatever it accepts must write back to
// bytes that read back to the same settings.

#include "settingsfile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QString why;
    const auto pieces = settingsfile::parse(bytes, &why);
    if (!pieces) {
        if (why.isEmpty())
            std::abort(); // a refusal must say why
        return 0;
    }
    const auto again = settingsfile::parse(settingsfile::serialize(*pieces));
    if (!again || !(*again == *pieces))
        std::abort();
    for (auto g : {serialsettings::Group::Baud, serialsettings::Group::Parity, serialsettings::Group::DataBits,
                   serialsettings::Group::StopBits, serialsettings::Group::Port})
        serialsettings::matchingButton(g, *pieces);
    serialsettings::compose(*pieces);
    return 0;
}
