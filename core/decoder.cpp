#include "decoder.h"

bool decodeByte(DecoderState &state, Kyrserie &k, quint8 byte)
{
    state.parbytes[state.fase] = byte;
    state.fase = static_cast<qint16>((state.fase + 1) % 2);
    if (state.fase == 1)
        return false;
    const int slot = (k.contador.value() + 1) % Kyrserie::kRingSlots;
    k.contador.set(slot);
    k.valores[slot] = state.parbytes[0] + 256 * state.parbytes[1];
    return true;
}
