#pragma once

#include <QString>
#include <QSerialPort>
#include <optional>

/// Line settings as the serial control takes them: "baud,parity,data,stop", e.g. "9600,N,8,1".
struct LineSettings
{
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    friend bool operator==(const LineSettings &, const LineSettings &) = default;
};

/// Parses a settings string. On refusal returns nothing and, if asked, says why in Spanish.
std::optional<LineSettings> parseLineSettings(const QString &text, QString *why = nullptr);
