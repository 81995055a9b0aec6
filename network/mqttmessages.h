#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

/// TEMA/meta (retained JSON): what a subscriber needs to read and label a session.
struct SessionMeta
{
    int format = 0;             ///< "formato": version of the batch format
    QString encoding;           ///< "codificacion": "u16le"
    QString program;            ///< "programa": "dispvanto 1.2.0"
    QString device;             ///< "dispositivo": the device path in use
    QString settings;           ///< "configuracion": the line settings in force, "9600,N,8,1"
    QString port;               ///< "puerto": COM1 or COM2
    quint64 session = 0;        ///< "sesion"
    qint64 clockZeroUnixNanos = 0; ///< "reloj_cero_unix_ns": Unix time of arrival time 0
    QDateTime start;            ///< "inicio": when the session started (ISO 8601)
    qint64 startUnixNanos = 0;  ///< "inicio_unix_ns": the same, exactly: the publisher's tiempo_s counts from it

    QByteArray toJson() const;
    /// Refuses (and says why, in Spanish, naming the field and its value) a meta without a
    /// session above 0, without a whole "reloj_cero_unix_ns" from 1970 to 2199, or whose "inicio"
    /// does not parse, lies outside 2000 … 2199 or disagrees with "inicio_unix_ns" by 1 ms or
    /// more ("inicio_unix_ns" may be absent: it is then taken from "inicio").
    static std::optional<SessionMeta> fromJson(const QByteArray &json, QString *why = nullptr);
};

/// TEMA/resumen (JSON once a second): for dashboards that do not decode batches.
struct SessionSummary
{
    quint64 session = 0;   ///< "sesion"
    quint64 samples = 0;   ///< "muestras": samples in the session so far (the next index)
    int last = -1;         ///< "ultima": the newest value (null before the first)
    quint64 recent = 0;    ///< "muestras_segundo": samples since the previous summary
    int minimum = -1;      ///< "minimo" over those (null when none)
    int maximum = -1;      ///< "maximo"
    double mean = 0;       ///< "media"
    QDateTime time;        ///< "tiempo": when the summary was made (ISO 8601, UTC)

    QByteArray toJson() const;
    /// Refuses a summary without a session above 0 or whose counts are not whole numbers below
    /// 2^63; why says which, in Spanish.
    static std::optional<SessionSummary> fromJson(const QByteArray &json, QString *why = nullptr);
};

/// TEMA/pedido (JSON): a subscriber asks for samples [first, first + count) of a session again;
/// the publisher answers on the same topic, with "disponible": false, for those it no longer has.
struct ResendRequest
{
    quint64 session = 0; ///< "sesion"
    quint64 first = 0;   ///< "primera"
    quint64 count = 0;   ///< "cuantas"
    bool unavailable = false; ///< an answer: the publisher cannot send these
    /// In an answer: the publisher holds samples [heldFrom, heldEnd) of the session now; those
    /// from heldEnd on do not exist yet ("desde", "hasta").
    std::optional<quint64> heldFrom = std::nullopt;
    std::optional<quint64> heldEnd = std::nullopt;

    QByteArray toJson() const;
    /// Refuses a request without a session above 0, with no samples, or with samples at or past
    /// index 2^63; why says which, in Spanish.
    static std::optional<ResendRequest> fromJson(const QByteArray &json, QString *why = nullptr);
};
