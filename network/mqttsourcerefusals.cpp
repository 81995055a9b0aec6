// What the remote source refuses from the network: each kind told once, then counted for the
// summary.
#include "mqttsource.h"

void MqttSource::refuse(Refusal kind, const QString &detail)
{
    if (m_refused[size_t(kind)]++)
        return;
    QString what;
    switch (kind) {
    case Refusal::Unreadable: what = QStringLiteral("un lote que no se puede leer"); break;
    case Refusal::NoMeta: what = QStringLiteral("lotes de una sesión cuya descripción (meta) no llegó"); break;
    case Refusal::OtherSession: what = QStringLiteral("lotes de otra sesión"); break;
    case Refusal::TooFarAhead: what = QStringLiteral("índices muy por delante de lo que el banco puede haber medido"); break;
    case Refusal::BadMeta: what = QStringLiteral("una descripción (meta) no válida"); break;
    case Refusal::BadSummary: what = QStringLiteral("un resumen no válido"); break;
    case Refusal::Count: break;
    }
    emit problem(QStringLiteral("MQTT: llegó a %1 %2 (%3); se descarta, y los siguientes de esta clase se cuentan "
                                "en el resumen final.")
                     .arg(m_topic, what, detail));
}

QStringList MqttSource::refusalSummary() const
{
    static const char *const kNames[] = {"ilegibles", "sin descripción de su sesión", "de otra sesión",
                                         "inverosímiles (muy por delante)", "descripciones no válidas",
                                         "resúmenes no válidos"};
    QStringList parts;
    for (size_t i = 0; i < size_t(Refusal::Count); ++i)
        if (m_refused[i])
            parts << QStringLiteral("%1 %2").arg(m_refused[i]).arg(QString::fromUtf8(kNames[i]));
    QStringList out;
    if (!parts.isEmpty())
        out << QStringLiteral("Mensajes descartados: %1.").arg(parts.join(QStringLiteral(", ")));
    if (m_otherLive > 1)
        out << QStringLiteral("Se oyeron %1 sesiones ajenas publicando a la vez en %2.").arg(m_otherLive).arg(m_topic);
    return out;
}
