#pragma once

#include "decoder.h"
#include "kyrserie.h"
#include "sampleconsumer.h"

#include <functional>

class SerialControl;

/// The one path from the port to the samples: answers the control's notifications one byte at
/// a time, pairs the bytes, stores each sample in the ring and hands it to every consumer,
/// with what happened in the stream at its place and every block as it arrived.
class ReceiveDecoder : public SampleSource
{
public:
    ReceiveDecoder(Kyrserie &kyrserie, SerialControl &comm);

    /// Answers one notification; true when the byte read completed a sample.
    bool onComm();
    DecoderState &state() { return m_state; }
    /// How many samples have been decoded: the index the next one gets.
    quint64 samplesDecoded() const { return m_index; }
    /// Told of every event after the consumers.
    void setOnEvent(std::function<void(const StreamEvent &)> handler) { m_onEvent = std::move(handler); }

private:
    void onMark(StreamEvent e);

    Kyrserie &m_k;
    SerialControl &m_comm;
    DecoderState m_state;
    quint64 m_index = 0;
    std::function<void(const StreamEvent &)> m_onEvent;
};
