#pragma once

/// A message that is said once, not at every repeat of its cause, until reset() (a new
/// connection, a new outage) makes it due again.
class TellOnce
{
public:
    /// True the first time since the start or the last reset(): say it now.
    bool first()
    {
        const bool due = !m_told;
        m_told = true;
        return due;
    }
    void reset() { m_told = false; }

private:
    bool m_told = false;
};
