#include "discardepisode.h"

#include <QStringList>

void DiscardEpisode::add(const StreamEvent &gap)
{
    if (m_gaps == 0) {
        ++m_number;
        m_bytes = 0;
        m_causes = {};
    }
    ++m_gaps;
    m_bytes += gap.bytes;
    m_causes |= gap.causes;
}

QString DiscardEpisode::text(qsizetype waitLimit) const
{
    const qsizetype mib = waitLimit / (1024 * 1024);
    const QString limit = waitLimit % (1024 * 1024) == 0 ? QStringLiteral("%1 MiB").arg(mib)
                                                         : QStringLiteral("%1 bytes").arg(waitLimit);
    QStringList why;
    if (m_causes.testFlag(DiscardCause::ReceptionStopped))
        why << QStringLiteral("llegaron más datos de los que pueden esperar mientras la recepción estaba detenida "
                              "(límite de %1)").arg(limit);
    if (m_causes.testFlag(DiscardCause::FasterThanDecoded))
        why << QStringLiteral("los datos llegan más rápido de lo que se decodifican y pasaron el límite de espera "
                              "(%1)").arg(limit);
    if (m_causes.testFlag(DiscardCause::NoMemory))
        why << QStringLiteral("no quedaba memoria para los datos que esperaban");
    if (why.isEmpty())
        why << QStringLiteral("no cabían en espera");
    QString cause = why.join(QStringLiteral("; "));
    cause[0] = cause[0].toUpper();
    const QString gaps = m_gaps > 1 ? QStringLiteral(", en %1 cortes").arg(m_gaps) : QString();
    return QStringLiteral("%1: se descartaron los %2 bytes más antiguos (%3 muestras)%4. "
                          "Los datos más recientes se conservan.")
        .arg(cause)
        .arg(m_bytes)
        .arg(m_bytes / 2)
        .arg(gaps);
}
