#include "serialsettings.h"

#include "textrules.h"

namespace serialsettings {

// clang-format off
const std::array<OptionButton, 14> kButtons = {{
    {"pto3f8", "COM1",       Group::Port,     "",      1, 360,  240,  1095, 375, 8},
    {"pto2f8", "COM2",       Group::Port,     "",      2, 360,  840,  975,  375, 7},
    {"ppar",   "par",        Group::Parity,   "E,",    0, 240,  240,  975,  255, 5},
    {"pimpar", "impar",      Group::Parity,   "O,",    0, 240,  600,  975,  255, 4},
    {"pnopar", "no paridad", Group::Parity,   "N,",    0, 240,  960,  975,  375, 3},
    {"br300",  "300",        Group::Baud,     "300,",  0, 240,  360,  1335, 495, 22},
    {"br1200", "1200",       Group::Baud,     "1200,", 0, 240,  840,  1215, 495, 20},
    {"br2400", "2400",       Group::Baud,     "2400,", 0, 240,  1320, 1095, 495, 21},
    {"br4800", "4800",       Group::Baud,     "4800,", 0, 240,  1920, 1095, 375, 11},
    {"br9600", "9600",       Group::Baud,     "9600,", 0, 240,  2400, 1095, 375, 10},
    {"bd7",    "7 bits",     Group::DataBits, "7,",    0, 240,  360,  1095, 375, 14},
    {"bd8",    "8 bits",     Group::DataBits, "8,",    0, 240,  840,  975,  375, 13},
    {"bs1",    "1bit",       Group::StopBits, "1",     0, 240,  480,  855,  375, 17},
    {"bs2",    "2bits",      Group::StopBits, "2",     0, 240,  1200, 975,  375, 16},
}};

const std::array<GroupFrame, 5> kFrames = {{
    {"Frame1", "puerto",       Group::Port,     0,    0,    1815, 1335, 6},
    {"Frame2", "paridad",      Group::Parity,   0,    1560, 1815, 1575, 2},
    {"Frame5", "baud rate",    Group::Baud,     2160, 120,  1695, 2895, 9},
    {"Frame3", "bits de dato", Group::DataBits, 4320, 120,  1455, 1455, 12},
    {"Frame4", "bits de stop", Group::StopBits, 4320, 1920, 1455, 1815, 15},
}};
// clang-format on

QString compose(const Pieces &p)
{
    return p.velocidad + p.paridad + p.bitsdatos + p.bitsparada;
}

namespace {
QString &pieceOf(Group group, Pieces &p)
{
    switch (group) {
    case Group::Baud: return p.velocidad;
    case Group::Parity: return p.paridad;
    case Group::DataBits: return p.bitsdatos;
    case Group::StopBits:
    case Group::Port: break;
    }
    return p.bitsparada;
}

const OptionButton *button(const char *name)
{
    for (const auto &b : kButtons)
        if (qstrcmp(b.name, name) == 0)
            return &b;
    return nullptr;
}

const OptionButton *firstEqual(double value, std::initializer_list<std::pair<double, const char *>> tests)
{
    for (const auto &[wanted, name] : tests)
        if (value == wanted)
            return button(name);
    return nullptr;
}
} // namespace

void store(const OptionButton &b, Pieces &p)
{
    if (b.group == Group::Port)
        p.numpuerto = b.port;
    else
        pieceOf(b.group, p) = QString::fromLatin1(b.piece);
}

const OptionButton *matchingButton(Group group, const Pieces &p)
{
    using textrules::numericValue;
    switch (group) {
    case Group::Baud:
        return firstEqual(numericValue(p.velocidad), {{9600, "br9600"}, {4800, "br4800"}, {2400, "br2400"},
                                                      {1200, "br1200"}, {300, "br300"}});
    case Group::Parity:
        for (const char *name : {"pnopar", "pimpar", "ppar"})
            if (p.paridad == QLatin1String(button(name)->piece))
                return button(name);
        return nullptr;
    case Group::DataBits:
        return firstEqual(numericValue(p.bitsdatos), {{7, "bd7"}, {8, "bd8"}});
    case Group::StopBits:
        return firstEqual(numericValue(p.bitsparada), {{2, "bs2"}, {1, "bs1"}});
    case Group::Port:
        return firstEqual(p.numpuerto, {{1, "pto3f8"}, {2, "pto2f8"}});
    }
    return nullptr;
}

Pieces fromRecord(const Kyrserie &k, const QString &velocidad)
{
    return {velocidad, k.paridad, k.bitsdatos, k.bitsparada, k.numpuerto};
}

void toRecord(const Pieces &p, Kyrserie &k)
{
    k.paridad = p.paridad;
    k.bitsdatos = p.bitsdatos;
    k.bitsparada = p.bitsparada;
    k.numpuerto = p.numpuerto;
}

} // namespace serialsettings
