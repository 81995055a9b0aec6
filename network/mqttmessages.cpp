#include "mqttmessages.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

QByteArray compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<QJsonObject> object(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

// Session numbers and indices are whole numbers; a negative or fractional one is refused.
std::optional<quint64> whole(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isDouble())
        return std::nullopt;
    const qint64 n = v.toInteger(-1);
    if (n < 0)
        return std::nullopt;
    return quint64(n);
}

QJsonValue valueOrNull(int v)
{
    return v < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(v);
}

} // namespace

QByteArray SessionMeta::toJson() const
{
    return compact({{QStringLiteral("formato"), format},
                    {QStringLiteral("codificacion"), encoding},
                    {QStringLiteral("programa"), program},
                    {QStringLiteral("dispositivo"), device},
                    {QStringLiteral("configuracion"), settings},
                    {QStringLiteral("puerto"), port},
                    {QStringLiteral("sesion"), qint64(session)},
                    {QStringLiteral("reloj_cero_unix_ns"), clockZeroUnixNanos},
                    {QStringLiteral("inicio"), start.toString(Qt::ISODateWithMs)},
                    {QStringLiteral("inicio_unix_ns"), startUnixNanos}});
}

std::optional<SessionMeta> SessionMeta::fromJson(const QByteArray &json)
{
    const auto o = object(json);
    const auto session = o ? whole(*o, "sesion") : std::nullopt;
    if (!session)
        return std::nullopt;
    SessionMeta m;
    m.session = *session;
    m.format = o->value(QStringLiteral("formato")).toInt();
    m.encoding = o->value(QStringLiteral("codificacion")).toString();
    m.program = o->value(QStringLiteral("programa")).toString();
    m.device = o->value(QStringLiteral("dispositivo")).toString();
    m.settings = o->value(QStringLiteral("configuracion")).toString();
    m.port = o->value(QStringLiteral("puerto")).toString();
    m.clockZeroUnixNanos = o->value(QStringLiteral("reloj_cero_unix_ns")).toInteger();
    m.start = QDateTime::fromString(o->value(QStringLiteral("inicio")).toString(), Qt::ISODateWithMs);
    m.startUnixNanos = o->value(QStringLiteral("inicio_unix_ns")).toInteger(m.start.toMSecsSinceEpoch() * 1000000);
    return m;
}

QByteArray SessionSummary::toJson() const
{
    return compact({{QStringLiteral("sesion"), qint64(session)},
                    {QStringLiteral("muestras"), qint64(samples)},
                    {QStringLiteral("ultima"), valueOrNull(last)},
                    {QStringLiteral("muestras_segundo"), qint64(recent)},
                    {QStringLiteral("minimo"), valueOrNull(minimum)},
                    {QStringLiteral("maximo"), valueOrNull(maximum)},
                    {QStringLiteral("media"), recent ? QJsonValue(mean) : QJsonValue(QJsonValue::Null)},
                    {QStringLiteral("tiempo"), time.toUTC().toString(Qt::ISODateWithMs)}});
}

std::optional<SessionSummary> SessionSummary::fromJson(const QByteArray &json)
{
    const auto o = object(json);
    const auto session = o ? whole(*o, "sesion") : std::nullopt;
    const auto samples = o ? whole(*o, "muestras") : std::nullopt;
    if (!session || !samples)
        return std::nullopt;
    SessionSummary s;
    s.session = *session;
    s.samples = *samples;
    s.last = o->value(QStringLiteral("ultima")).toInt(-1);
    s.recent = whole(*o, "muestras_segundo").value_or(0);
    s.minimum = o->value(QStringLiteral("minimo")).toInt(-1);
    s.maximum = o->value(QStringLiteral("maximo")).toInt(-1);
    s.mean = o->value(QStringLiteral("media")).toDouble();
    s.time = QDateTime::fromString(o->value(QStringLiteral("tiempo")).toString(), Qt::ISODateWithMs);
    return s;
}

QByteArray ResendRequest::toJson() const
{
    QJsonObject o{{QStringLiteral("sesion"), qint64(session)},
                  {QStringLiteral("primera"), qint64(first)},
                  {QStringLiteral("cuantas"), qint64(count)}};
    if (unavailable)
        o.insert(QStringLiteral("disponible"), false);
    if (heldFrom)
        o.insert(QStringLiteral("desde"), qint64(*heldFrom));
    if (heldEnd)
        o.insert(QStringLiteral("hasta"), qint64(*heldEnd));
    return compact(o);
}

std::optional<ResendRequest> ResendRequest::fromJson(const QByteArray &json)
{
    const auto o = object(json);
    if (!o)
        return std::nullopt;
    const auto session = whole(*o, "sesion");
    const auto first = whole(*o, "primera");
    const auto count = whole(*o, "cuantas");
    if (!session || !first || !count)
        return std::nullopt;
    const bool unavailable = o->value(QStringLiteral("disponible")) == QJsonValue(false);
    ResendRequest r{*session, *first, *count, unavailable};
    if (o->contains(QStringLiteral("desde")))
        r.heldFrom = whole(*o, "desde");
    if (o->contains(QStringLiteral("hasta")))
        r.heldEnd = whole(*o, "hasta");
    return r;
}
