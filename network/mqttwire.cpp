#include "mqttwire.h"

#include <QRegularExpression>

namespace mqttwire {

namespace {
const QString kLostTail = QStringLiteral(", conexión perdida");
}

QByteArray stateText(const QString &word, quint64 session, bool connectionLost)
{
    return QStringLiteral("%1 (sesión %2%3)").arg(word).arg(session).arg(connectionLost ? kLostTail : QString()).toUtf8();
}

QByteArray goodbyeText(quint64 session, quint64 samples)
{
    return QStringLiteral("%1 (sesión %2, %3 muestras)").arg(kOffline).arg(session).arg(samples).toUtf8();
}

QByteArray noticeText(const QString &text, quint64 session)
{
    return QStringLiteral("%1 (sesión %2)").arg(text).arg(session).toUtf8();
}

StateMessage parseState(const QByteArray &payload)
{
    static const QRegularExpression tail(
        QStringLiteral("^(.*) \\(sesión ([0-9]{1,19})(?:(, conexión perdida)|, ([0-9]{1,19}) muestras)?\\)$"),
                                         QRegularExpression::DotMatchesEverythingOption);
    StateMessage m;
    m.word = QString::fromUtf8(payload);
    const QRegularExpressionMatch match = tail.match(m.word);
    if (!match.hasMatch())
        return m;
    bool ok = false;
    const quint64 session = match.captured(2).toULongLong(&ok);
    if (!ok || session == 0 || session >= kIndexLimit)
        return m;
    m.word = match.captured(1);
    m.session = session;
    m.connectionLost = match.capturedLength(3) > 0;
    if (match.capturedLength(4) > 0 && m.word == kOffline) {
        const quint64 samples = match.captured(4).toULongLong(&ok);
        if (ok && samples < kIndexLimit)
            m.samples = samples;
    }
    return m;
}

} // namespace mqttwire
