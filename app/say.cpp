#include "say.h"

#include <cstdio>

void say(const QString &text)
{
    std::fprintf(stderr, "dispvanto: %s\n", text.toLocal8Bit().constData());
}
