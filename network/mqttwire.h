#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// The words a bench and its subscribers share on the broker: the state words, the JSON keys and
// how a state message names its session. The publisher, the remote source and the logger read
// them from here only.
namespace mqttwire {

// TEMA/estado: "<word> (sesión <S>)"; the Last Will adds ", conexión perdida" inside the
// parentheses, and the goodbye ", <N> muestras": the session's count, for a recorder that missed
// the last summaries. Dashboards that compare the start of the text with the word keep working; a
// subscriber checks the session before it acts.
inline const QString kOnline = QStringLiteral("en línea");
inline const QString kDeviceLost = QStringLiteral("dispositivo perdido");
inline const QString kOffline = QStringLiteral("fuera de línea");

/// Indices and counts stay below this: no wrap, and room for first + count.
constexpr quint64 kIndexLimit = quint64(1) << 63;

/// One message on TEMA/estado, read back.
struct StateMessage
{
    QString word;                 ///< one of the three words, or the whole text for a notice
    quint64 session = 0;          ///< 0: the message names no session
    bool connectionLost = false;  ///< the broker published it for a bench that vanished (its will)
    std::optional<quint64> samples; ///< the goodbye's count of the session's samples
    bool isState() const { return word == kOnline || word == kDeviceLost || word == kOffline; }
};

QByteArray stateText(const QString &word, quint64 session, bool connectionLost = false);
/// The goodbye: "fuera de línea (sesión <S>, <N> muestras)".
QByteArray goodbyeText(quint64 session, quint64 samples);
/// A notice (a loss the bench reports), with its session: "<text> (sesión <S>)".
QByteArray noticeText(const QString &text, quint64 session);
StateMessage parseState(const QByteArray &payload);

namespace key {
inline const QString kFormat = QStringLiteral("formato");
inline const QString kEncoding = QStringLiteral("codificacion");
inline const QString kProgram = QStringLiteral("programa");
inline const QString kDevice = QStringLiteral("dispositivo");
inline const QString kSettings = QStringLiteral("configuracion");
inline const QString kPort = QStringLiteral("puerto");
inline const QString kSession = QStringLiteral("sesion");
inline const QString kClockZero = QStringLiteral("reloj_cero_unix_ns");
inline const QString kStart = QStringLiteral("inicio");
inline const QString kStartNanos = QStringLiteral("inicio_unix_ns");
inline const QString kSamples = QStringLiteral("muestras");
inline const QString kLast = QStringLiteral("ultima");
inline const QString kRecent = QStringLiteral("muestras_segundo");
inline const QString kMinimum = QStringLiteral("minimo");
inline const QString kMaximum = QStringLiteral("maximo");
inline const QString kMean = QStringLiteral("media");
inline const QString kTime = QStringLiteral("tiempo");
inline const QString kFirst = QStringLiteral("primera");
inline const QString kCount = QStringLiteral("cuantas");
inline const QString kAvailable = QStringLiteral("disponible");
inline const QString kHeldFrom = QStringLiteral("desde");
inline const QString kHeldEnd = QStringLiteral("hasta");
} // namespace key

} // namespace mqttwire
