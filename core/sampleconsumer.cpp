#include "sampleconsumer.h"

#include <algorithm>

SampleConsumer::~SampleConsumer()
{
    detach();
}

void SampleConsumer::detach()
{
    if (m_source)
        m_source->removeConsumer(this);
}

SampleSource::~SampleSource()
{
    for (SampleConsumer *c : m_consumers)
        if (c)
            c->m_source = nullptr;
}

void SampleSource::addConsumer(SampleConsumer *consumer)
{
    if (consumer->m_source == this)
        return;
    consumer->detach();
    consumer->m_source = this;
    m_consumers.push_back(consumer);
    if (++m_live == 1)
        consumersChanged();
}

void SampleSource::removeConsumer(SampleConsumer *consumer)
{
    const auto it = std::find(m_consumers.begin(), m_consumers.end(), consumer);
    if (it == m_consumers.end())
        return;
    // Left as a hole: the consumer may be leaving from within a call on it.
    *it = nullptr;
    ++m_holes;
    consumer->m_source = nullptr;
    if (--m_live == 0)
        consumersChanged();
}

void SampleSource::removeHoles()
{
    m_consumers.erase(std::remove(m_consumers.begin(), m_consumers.end(), nullptr), m_consumers.end());
    m_holes = 0;
}

void SampleSource::emitEvent(const StreamEvent &e)
{
    for (size_t i = 0; i < m_consumers.size(); ++i)
        if (SampleConsumer *c = m_consumers[i])
            c->event(e);
    compact();
}

void SampleSource::emitBytes(const char *data, qsizetype size, qint64 position)
{
    for (size_t i = 0; i < m_consumers.size(); ++i)
        if (SampleConsumer *c = m_consumers[i])
            c->bytesReceived(data, size, position);
    compact();
}
