#pragma once

#include "sample.h"

#include <QString>

/// Gaps of discarded waiting bytes told as one episode: from the first gap decoding reaches
/// until nothing waits any more. A flood that outruns decoding leaves a gap at every turn of
/// the limit; the user is told of the flood, with running totals, not of each gap.
class DiscardEpisode
{
public:
    /// Decoding reached this gap: it joins the episode under way, or begins a new one.
    void add(const StreamEvent &gap);
    /// Nothing waits any more: the next gap begins a new episode.
    void end() { m_gaps = 0; }
    bool isOpen() const { return m_gaps > 0; }
    /// Counts the episodes begun, so that each can be told apart from the one before.
    int number() const { return m_number; }
    /// The episode so far, in Spanish: why, how much, in how many gaps.
    QString text(qsizetype waitLimit) const;

private:
    int m_number = 0;
    qint64 m_gaps = 0;
    qint64 m_bytes = 0;
    DiscardCauses m_causes;
};
