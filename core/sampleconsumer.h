#pragma once

#include "sample.h"

#include <vector>

class SampleSource;

/// Takes every decoded sample, in order, with what happened between them, and every block of
/// bytes as it arrived. The display reads the ring; the recorder and the publisher are
/// consumers; none decodes for itself. A consumer that is destroyed unregisters itself.
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
    /// A block of bytes as it arrived (before decoding, also while reception is stopped);
    /// position: stream position of its first byte.
    virtual void bytesReceived(const char *, qsizetype, qint64) {}

    /// Stops receiving; safe to call at any time, also from within one of the calls above.
    void detach();
    SampleSource *source() const { return m_source; }

private:
    friend class SampleSource;
    SampleSource *m_source = nullptr;
};

/// Where samples come from (the port's decoder, or a remote bench): hands each sample, event
/// and block to every consumer registered, in registration order.
class SampleSource
{
public:
    SampleSource() = default;
    SampleSource(const SampleSource &) = delete;
    SampleSource &operator=(const SampleSource &) = delete;
    virtual ~SampleSource();

    /// Registers a consumer (it must not be registered with another source).
    void addConsumer(SampleConsumer *consumer);
    void removeConsumer(SampleConsumer *consumer);
    bool hasConsumers() const { return m_live > 0; }

protected:
    void emitSample(const Sample &s)
    {
        for (size_t i = 0; i < m_consumers.size(); ++i)
            if (SampleConsumer *c = m_consumers[i])
                c->sample(s);
        compact();
    }
    void emitEvent(const StreamEvent &e);
    void emitBytes(const char *data, qsizetype size, qint64 position);
    /// Called when the first consumer arrives or the last one goes.
    virtual void consumersChanged() {}

private:
    void compact()
    {
        if (m_holes)
            removeHoles();
    }
    void removeHoles();

    std::vector<SampleConsumer *> m_consumers; // a consumer that leaves mid-call leaves a hole
    size_t m_live = 0;
    size_t m_holes = 0;
};
