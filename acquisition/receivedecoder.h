#pragma once

#include "decoder.h"
#include "kyrserie.h"

#include <QString>

class SerialControl;

/// Takes every decoded sample, in order, with what happened between them. The display, the
/// recorder and the logger all hang on the one decoder; none decodes for itself.
class SampleConsumer
{
public:
    virtual ~SampleConsumer() = default;
    /// One sample; arrivalNanos: when the block that completed it arrived, since the port was
    /// first opened (monotonic).
    virtual void sample(quint16 value, qint64 arrivalNanos) = 0;
    /// Something happened at this point of the stream (a gap, a reopened port), in Spanish.
    virtual void event(const QString &what) = 0;
};

/// The one path from the port to the samples: answers the control's notifications one byte at
/// a time, pairs the bytes, stores each sample in the ring and hands it to the consumer.
class ReceiveDecoder
{
public:
    ReceiveDecoder(Kyrserie &kyrserie, SerialControl &comm);

    /// Answers one notification; true when the byte read completed a sample.
    bool onComm();
    void setConsumer(SampleConsumer *consumer);
    DecoderState &state() { return m_state; }

private:
    void restart(const QString &what);

    Kyrserie &m_k;
    SerialControl &m_comm;
    DecoderState m_state;
    SampleConsumer *m_consumer = nullptr;
};
