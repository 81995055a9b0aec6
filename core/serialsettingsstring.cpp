#include "serialsettingsstring.h"

#include <QStringList>
#include <algorithm>
#include <array>

namespace {

constexpr std::array<qint32, 25> kBaudRates = {
    110,    300,    600,    1200,    2400,    4800,    9600,    14400,   19200,
    38400,  57600,  115200, 128000,  230400,  256000,  460800,  500000,  576000,
    921600, 1000000, 1152000, 1500000, 2000000, 3000000, 4000000};

std::optional<LineSettings> refuse(QString *why, const QString &reason)
{
    if (why)
        *why = reason;
    return std::nullopt;
}

bool allDigits(const QString &s)
{
    return !s.isEmpty() && std::all_of(s.begin(), s.end(), [](QChar c) { return c.isDigit() && c.unicode() < 128; });
}

} // namespace

std::optional<LineSettings> parseLineSettings(const QString &text, QString *why)
{
    const QStringList parts = text.split(u',');
    if (parts.size() != 4)
        return refuse(why, QStringLiteral("la configuración «%1» no tiene la forma velocidad,paridad,bits,stop "
                                          "(por ejemplo 9600,N,8,1)").arg(text));
    LineSettings s;

    const QString &baud = parts[0];
    if (!allDigits(baud) || baud.size() > 8
        || std::find(kBaudRates.begin(), kBaudRates.end(), baud.toInt()) == kBaudRates.end())
        return refuse(why, QStringLiteral("velocidad «%1» no válida en «%2»").arg(baud, text));
    s.baud = baud.toInt();

    const QString parity = parts[1].toUpper();
    if (parity == u"N")
        s.parity = QSerialPort::NoParity;
    else if (parity == u"O")
        s.parity = QSerialPort::OddParity;
    else if (parity == u"E")
        s.parity = QSerialPort::EvenParity;
    else if (parity == u"M")
        s.parity = QSerialPort::MarkParity;
    else if (parity == u"S")
        s.parity = QSerialPort::SpaceParity;
    else
        return refuse(why, QStringLiteral("paridad «%1» no válida en «%2» (N, O, E, M o S)").arg(parts[1], text));

    const QString &data = parts[2];
    if (data == u"5")
        s.dataBits = QSerialPort::Data5;
    else if (data == u"6")
        s.dataBits = QSerialPort::Data6;
    else if (data == u"7")
        s.dataBits = QSerialPort::Data7;
    else if (data == u"8")
        s.dataBits = QSerialPort::Data8;
    else
        return refuse(why, QStringLiteral("bits de datos «%1» no válidos en «%2» (5 a 8)").arg(data, text));

    const QString &stop = parts[3];
    if (stop == u"1")
        s.stopBits = QSerialPort::OneStop;
    else if (stop == u"1.5")
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == u"2")
        s.stopBits = QSerialPort::TwoStop;
    else
        return refuse(why, QStringLiteral("bits de stop «%1» no válidos en «%2» (1, 1.5 o 2)").arg(stop, text));
    return s;
}
