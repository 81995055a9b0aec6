#pragma once

#include "batchstore.h"
#include "mqttmessages.h"
#include "tellonce.h"

#include <QtGlobal>

#include <utility>
#include <vector>

/// The figures of TEMA/resumen since the previous one.
class SummaryStats
{
public:
    void add(quint16 value)
    {
        ++m_recent;
        m_sum += value;
        m_min = m_min < 0 ? value : qMin<int>(m_min, value);
        m_max = qMax<int>(m_max, value);
        m_last = value;
    }
    /// Fills the summary's figures and starts counting again (the newest value stays).
    void takeInto(SessionSummary &s)
    {
        s.last = m_last;
        s.recent = m_recent;
        s.minimum = m_min;
        s.maximum = m_max;
        s.mean = m_recent ? m_sum / double(m_recent) : 0.0;
        m_recent = 0;
        m_min = m_max = -1;
        m_sum = 0;
    }

private:
    quint64 m_recent = 0;
    int m_min = -1;
    int m_max = -1;
    double m_sum = 0;
    int m_last = -1;
};

/// Samples dropped from the sending memory: joined into ranges as they go; each range is closed
/// when the next loss is not contiguous or when it is told, and kept for TEMA/estado until the
/// broker can be told.
class LossLog
{
public:
    /// Notes the ranges lost; true when the first loss of an outage is among them (say so).
    bool note(const std::vector<SampleRange> &lost)
    {
        bool first = false;
        for (const SampleRange &r : lost) {
            if (m_running.count && m_running.end() != r.first)
                closeRunning(); // kept for the next close(): each range is told
            if (!m_running.count)
                m_running.first = r.first;
            m_running.count += r.count;
            first = m_outage.first() || first;
        }
        return first;
    }
    bool running() const { return m_running.count != 0; }
    /// Closes the range still growing: the ranges closed since the last call, for the local
    /// recording.
    std::vector<SampleRange> close()
    {
        closeRunning();
        return std::exchange(m_closed, {});
    }
    /// The ranges not yet said on TEMA/estado, handed over.
    std::vector<SampleRange> takeUnpublished() { return std::exchange(m_unpublished, {}); }
    /// The broker has confirmed everything sent: the next loss is a new outage. (Not at a
    /// reconnection: the backlog sent then may still overflow, in the same outage.)
    void caughtUp() { m_outage.reset(); }

private:
    void closeRunning()
    {
        if (m_running.count) {
            m_closed.push_back(m_running);
            m_unpublished.push_back(m_running);
            m_running = {};
        }
    }

    SampleRange m_running;
    std::vector<SampleRange> m_closed;
    std::vector<SampleRange> m_unpublished;
    TellOnce m_outage;
};
