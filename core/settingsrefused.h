#pragma once

#include "platformerror.h"

/// Line settings the port refused. Its message also says what stays in force; refusal()
/// alone is for a caller that does not go on with the port.
class SettingsRefused : public PlatformError
{
public:
    SettingsRefused(const QString &refusal, const QString &kept) : PlatformError(refusal + kept), m_refusal(refusal) {}
    const QString &refusal() const { return m_refusal; }

private:
    QString m_refusal;
};
