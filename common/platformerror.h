#pragma once

#include <QString>
#include <stdexcept>

/// The one failure the platform layer raises: a Spanish message that says what failed and why.
/// Handlers never catch it; the connection helper in failure.h hands it to the reporter.
class PlatformError : public std::runtime_error
{
public:
    explicit PlatformError(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString &message() const noexcept { return m_message; }

private:
    QString m_message;
};
