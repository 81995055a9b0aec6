#pragma once

#include "counter.h"

#include <QString>
#include <array>

/// The program's shared state: the line settings the configuration window keeps, the sample
/// counter, the graph's plot cursor and the sample ring. One instance lives for the whole run.
struct Kyrserie
{
    static constexpr int kRingSlots = 1000; // the counter runs modulo this

    qint16 numpuerto = 0;
    QString paridad;
    QString bitsdatos;
    QString bitsparada;
    QString cadenaconf;
    CounterValue contador; ///< slot of the newest sample
    CounterValue posgraf;  ///< counter value at which the last plotting pass ended
    std::array<qint32, kRingSlots + 1> valores{}; ///< slot 1000 is never written
};
