#pragma once

#include "kyrserie.h"

#include <QByteArray>
#include <QByteArrayView>
#include <array>

/// The receive decoder's private state, zeroed with the main window and never reset.
struct DecoderState
{
    QByteArray recibido; ///< the block last read from the port (one byte)
    QByteArrayView octetos; ///< the same block as bytes (a view of recibido)
    std::array<qint32, 101> parbytes{}; ///< only 0 (low byte) and 1 (high byte) are used
    qint16 fase = 0;     ///< where the next byte goes in parbytes
};

/// Takes one received byte. Every second byte completes a sample: the counter advances modulo
/// 1000 and the sample (low + 256 * high) is stored at its slot. Returns true when it did.
bool decodeByte(DecoderState &state, Kyrserie &k, quint8 byte);
