#include "mqttmessages.h"

#include "batchformat.h"

#include <QJsonDocument>
#include <QJsonArray>
#include <QJsonObject>

namespace {

using batchformat::kIndexLimit;
using batchformat::kLatestUnixNanos;
constexpr qint64 kEarliestStartMs = 946'684'800'000; // 2000-01-01T00:00Z
constexpr qint64 kNanosPerMs = 1'000'000;

QByteArray compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// A received value as the sender wrote it, cut short: for a message that names it.
QString shown(const QJsonValue &v)
{
    if (v.isUndefined())
        return QStringLiteral("(falta)");
    QString text = QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact));
    text = text.mid(1, text.size() - 2);
    return text.size() > 60 ? text.left(60) + u'…' : text;
}

// The fields of one received JSON object. Reading goes on after a refusal, harmlessly; the
// first refusal is the one told.
class Fields
{
public:
    Fields(const QByteArray &json, QString *why) : m_why(why)
    {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            refuse(QStringLiteral("no es un objeto JSON"));
        else
            m_o = doc.object();
    }
    bool ok() const { return m_ok; }
    bool has(const char *key) const { return m_o.contains(QLatin1String(key)); }
    QJsonValue operator[](const char *key) const { return m_o.value(QLatin1String(key)); }
    void refuse(const QString &reason)
    {
        if (m_ok && m_why)
            *m_why = reason;
        m_ok = false;
    }
    /// A whole number from 0 to 2^63 − 1 (0 when it is not).
    quint64 whole(const char *key)
    {
        const QJsonValue v = (*this)[key];
        const qint64 n = v.isDouble() ? v.toInteger(-1) : -1;
        if (n < 0)
            refuse(QStringLiteral("\"%1\" no es un número entero de 0 a 2^63−1: %2").arg(QLatin1String(key), shown(v)));
        return n < 0 ? 0 : quint64(n);
    }
    quint64 session()
    {
        const quint64 s = whole("sesion");
        if (s == 0)
            refuse(QStringLiteral("\"sesion\" es 0: las sesiones se numeran desde 1"));
        return s;
    }
    template <typename T>
    std::optional<T> result(T value) const
    {
        return m_ok ? std::optional<T>(std::move(value)) : std::nullopt;
    }

private:
    QJsonObject m_o;
    QString *m_why;
    bool m_ok = true;
};

// "inicio" and "inicio_unix_ns": a start that parses, is plausible, and says the same twice.
void readStart(Fields &f, SessionMeta &m)
{
    m.start = QDateTime::fromString(f["inicio"].toString(), Qt::ISODateWithMs);
    const qint64 ms = m.start.isValid() ? m.start.toMSecsSinceEpoch() : 0;
    if (!m.start.isValid())
        return f.refuse(QStringLiteral("\"inicio\" no es una fecha y hora ISO 8601: %1").arg(shown(f["inicio"])));
    if (ms < kEarliestStartMs || ms >= kLatestUnixNanos / kNanosPerMs)
        return f.refuse(QStringLiteral("\"inicio\" está fuera de los años 2000 a 2199: %1").arg(shown(f["inicio"])));
    m.startUnixNanos = ms * kNanosPerMs;
    if (!f.has("inicio_unix_ns"))
        return;
    const qint64 exact = qint64(f.whole("inicio_unix_ns"));
    const qint64 apart = exact - m.startUnixNanos; // both within 0 … 2^63 − 1: no overflow
    if (f.ok() && (apart <= -kNanosPerMs || apart >= kNanosPerMs))
        return f.refuse(QStringLiteral("\"inicio_unix_ns\" (%1) no coincide con \"inicio\" (%2): difieren en %3 ms")
                            .arg(exact).arg(shown(f["inicio"])).arg(double(apart) / kNanosPerMs, 0, 'f', 3));
    m.startUnixNanos = exact;
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

std::optional<SessionMeta> SessionMeta::fromJson(const QByteArray &json, QString *why)
{
    Fields f(json, why);
    SessionMeta m;
    m.session = f.session();
    m.format = f["formato"].toInt();
    m.encoding = f["codificacion"].toString();
    m.program = f["programa"].toString();
    m.device = f["dispositivo"].toString();
    m.settings = f["configuracion"].toString();
    m.port = f["puerto"].toString();
    m.clockZeroUnixNanos = qint64(f.whole("reloj_cero_unix_ns"));
    if (f.ok() && m.clockZeroUnixNanos >= kLatestUnixNanos)
        f.refuse(QStringLiteral("\"reloj_cero_unix_ns\" está más allá de 2199: %1").arg(m.clockZeroUnixNanos));
    readStart(f, m);
    return f.result(std::move(m));
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

std::optional<SessionSummary> SessionSummary::fromJson(const QByteArray &json, QString *why)
{
    Fields f(json, why);
    SessionSummary s;
    s.session = f.session();
    s.samples = f.whole("muestras");
    s.recent = f.has("muestras_segundo") ? f.whole("muestras_segundo") : 0;
    s.last = f["ultima"].toInt(-1);
    s.minimum = f["minimo"].toInt(-1);
    s.maximum = f["maximo"].toInt(-1);
    s.mean = f["media"].toDouble();
    s.time = QDateTime::fromString(f["tiempo"].toString(), Qt::ISODateWithMs);
    return f.result(std::move(s));
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

std::optional<ResendRequest> ResendRequest::fromJson(const QByteArray &json, QString *why)
{
    Fields f(json, why);
    ResendRequest r;
    r.session = f.session();
    r.first = f.whole("primera");
    r.count = f.whole("cuantas");
    if (f.ok() && r.count == 0)
        f.refuse(QStringLiteral("\"cuantas\" es 0: no se pide ninguna muestra"));
    if (f.ok() && r.first > kIndexLimit - r.count) // both below 2^63: no wrap
        f.refuse(QStringLiteral("se piden muestras más allá de la %1 (%2 desde la %3)").arg(kIndexLimit - 1).arg(r.count).arg(r.first));
    r.unavailable = f["disponible"] == QJsonValue(false);
    if (f.has("desde"))
        r.heldFrom = f.whole("desde");
    if (f.has("hasta"))
        r.heldEnd = f.whole("hasta");
    return f.result(r);
}
