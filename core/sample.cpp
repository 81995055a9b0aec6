#include "sample.h"

QString StreamEvent::text() const
{
    switch (kind) {
    case Kind::Reopened:
        return bytes > 0 ? QStringLiteral("se perdió el puerto y se volvió a abrir; se descartó 1 byte "
                                          "(media muestra cortada por la pérdida)")
                         : QStringLiteral("se perdió el puerto y se volvió a abrir; no se perdió ningún byte recibido");
    case Kind::Discarded:
        return QStringLiteral("se descartaron %1 bytes (%2 muestras) que no cabían en espera").arg(bytes).arg(bytes / 2);
    case Kind::SettingsChanged:
        return QStringLiteral("configuración de la línea cambiada a %1").arg(settings);
    case Kind::Missing:
        return QStringLiteral("faltan %1 muestras (%2 a %3) que no llegaron por la red")
            .arg(bytes / 2)
            .arg(position / 2)
            .arg(position / 2 + bytes / 2 - 1);
    }
    return {};
}
