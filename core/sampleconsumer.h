#pragma once

#include "sample.h"

class ReceiveDecoder;

/// Takes every decoded sample, in order, with what happened between them, and every block of
/// bytes as the port delivered it. The display reads the ring; the recorder and the publisher
/// are consumers; none decodes for itself. A consumer that is destroyed unregisters itself.
class SampleConsumer
{
public:
    SampleConsumer() = default;
    SampleConsumer(const SampleConsumer &) = delete;
    SampleConsumer &operator=(const SampleConsumer &) = delete;
    virtual ~SampleConsumer();

    /// One sample, in stream order.
    virtual void sample(const Sample &s) = 0;
    /// An event at its place in the stream: after every sample that came before it.
    virtual void event(const StreamEvent &) {}
    /// A block of bytes as the port delivered it, when it arrives (before decoding, also while
    /// reception is stopped); position: stream position of its first byte.
    virtual void bytesReceived(const char *, qsizetype, qint64) {}

    /// Stops receiving; safe to call twice.
    void detach();

private:
    friend class ReceiveDecoder;
    ReceiveDecoder *m_source = nullptr;
};
