#pragma once

#include <QString>
#include <optional>

/// A counter value: unset until a number is stored, and unset reads as 0 in arithmetic and
/// as empty text when shown. Once set it stays set.
class CounterValue
{
public:
    int value() const { return m_value.value_or(0); }
    bool isSet() const { return m_value.has_value(); }
    void set(int v) { m_value = v; }
    QString text() const { return m_value ? QString::number(*m_value) : QString(); }
    friend bool operator==(const CounterValue &, const CounterValue &) = default;

private:
    std::optional<int> m_value;
};
