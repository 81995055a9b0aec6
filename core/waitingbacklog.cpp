#include "waitingbacklog.h"

void WaitingBacklog::commit(qsizetype n, qint64 arrivalNanos)
{
    if (n <= 0)
        return;
    m_bytes.commit(n);
    m_received += n;
    if (!m_arrivals.empty() && arrivalNanos - m_arrivals.back().nanos <= m_arrivalResolution)
        m_arrivals.back().end = m_received;
    else
        m_arrivals.push_back({m_received, arrivalNanos});
    if (m_arrivals.size() > m_arrivalLimit)
        coarsenArrivals();
    if (m_bytes.size() > m_limit)
        discardTo(m_received - m_limit,
                  m_receptionStopped ? DiscardCause::ReceptionStopped : DiscardCause::FasterThanDecoded);
}

void WaitingBacklog::discardDownTo(qsizetype keep)
{
    if (m_bytes.size() > keep)
        discardTo(m_received - qMax<qsizetype>(0, keep), DiscardCause::NoMemory);
}

void WaitingBacklog::discardTo(qint64 end, DiscardCause cause)
{
    // The cut ends where a sample starts, so pairing after the gap is as the board sent it. A
    // restart inside the dropped part moves where samples start; a settings change inside it
    // still holds after the gap.
    const bool restartAtFront = !m_marks.empty() && restartsPairing(m_marks.front()) && m_marks.front().position == m_consumed;
    // A half sample already taken loses its other half: it is lost too.
    qint64 lost = !restartAtFront && ((m_consumed - m_pairBase) & 1) ? 1 : 0;
    qint64 base = m_pairBase;
    std::deque<StreamEvent> settings;
    QDateTime firstGap;
    DiscardCauses causes = cause;
    while (!m_marks.empty() && m_marks.front().position <= end) {
        StreamEvent m = std::move(m_marks.front());
        m_marks.pop_front();
        if (!restartsPairing(m)) {
            settings.push_back(std::move(m));
            continue;
        }
        base = m.position;
        if (m.kind == StreamEvent::Kind::Discarded) {
            lost += m.bytes; // one gap per episode: a gap not yet reached grows
            firstGap = m.when;
            causes |= m.causes;
        }
    }
    if ((end - base) & 1)
        ++end;
    lost += end - m_consumed;
    m_bytes.drop(qsizetype(end - m_consumed));
    m_consumed = end;
    for (StreamEvent &s : settings)
        s.position = end;
    settings.push_front({StreamEvent::Kind::Discarded, end, lost, {},
                         firstGap.isValid() ? firstGap : QDateTime::currentDateTime(), causes});
    m_marks.insert(m_marks.begin(), settings.begin(), settings.end());
    pruneArrivals();
}

void WaitingBacklog::markReopened(const QDateTime &when)
{
    m_marks.push_back({StreamEvent::Kind::Reopened, m_received, 0, {}, when});
}

void WaitingBacklog::markLost(const QDateTime &when)
{
    m_marks.push_back({StreamEvent::Kind::Lost, m_received, 0, {}, when});
}

void WaitingBacklog::markSettings(const QString &settings, const QDateTime &when)
{
    m_marks.push_back({StreamEvent::Kind::SettingsChanged, m_received, 0, settings, when});
}

std::optional<StreamEvent> WaitingBacklog::takeDueMark()
{
    if (m_marks.empty() || m_marks.front().position > m_consumed)
        return std::nullopt;
    StreamEvent m = std::move(m_marks.front());
    m_marks.pop_front();
    if (restartsPairing(m)) {
        if (m.kind == StreamEvent::Kind::Reopened)
            m.bytes = (m.position - m_pairBase) & 1; // the half sample the loss cut off
        m_pairBase = m.position;
    }
    return m;
}

void WaitingBacklog::take(char *out, qsizetype n)
{
    m_bytes.take(out, n);
    m_consumed += n;
}

qint64 WaitingBacklog::lastArrival()
{
    // The byte last taken is at m_consumed - 1.
    while (m_arrivals.size() > 1 && m_arrivals.front().end < m_consumed)
        m_arrivals.pop_front();
    return m_arrivals.empty() ? 0 : m_arrivals.front().nanos;
}

void WaitingBacklog::pruneArrivals()
{
    // The newest block's time stays: it may still be asked for as the last byte's.
    while (m_arrivals.size() > 1 && m_arrivals.front().end <= m_consumed)
        m_arrivals.pop_front();
    if (m_arrivals.size() <= 1)
        m_arrivalResolution = 0; // what waited is gone: full precision again
}

void WaitingBacklog::coarsenArrivals()
{
    // Blocks that came within the resolution of a run's first block take its time: times stay
    // in order, each at most one resolution early, and the resolution grows only as needed.
    while (m_arrivals.size() > m_arrivalLimit / 2) {
        m_arrivalResolution = qMax<qint64>(1000, 2 * m_arrivalResolution);
        std::deque<Arrival> merged;
        for (const Arrival &a : m_arrivals) {
            if (!merged.empty() && a.nanos - merged.back().nanos <= m_arrivalResolution)
                merged.back().end = a.end;
            else
                merged.push_back(a);
        }
        m_arrivals.swap(merged);
    }
}
