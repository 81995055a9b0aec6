#include "syserror.h"

#include <QStringDecoder>
#include <cerrno>
#include <cstring>

namespace syserror {

QString reason(int errnum)
{
    switch (errnum) {
    case EACCES:
    case EPERM: return QStringLiteral("no hay permiso");
    case ENOENT: return QStringLiteral("no existe");
    case ENOTDIR: return QStringLiteral("una parte de la ruta no es una carpeta");
    case EISDIR: return QStringLiteral("es una carpeta");
    case ENOSPC: return QStringLiteral("no queda espacio en el disco");
#ifdef EDQUOT
    case EDQUOT: return QStringLiteral("se agotó la cuota de disco del usuario");
#endif
    case EFBIG: return QStringLiteral("el archivo superaría el tamaño máximo permitido");
    case EROFS: return QStringLiteral("el sistema de archivos es de solo lectura");
    case ENAMETOOLONG: return QStringLiteral("la ruta es demasiado larga");
    case ELOOP: return QStringLiteral("la ruta tiene demasiados enlaces simbólicos encadenados");
    case EIO: return QStringLiteral("error de entrada/salida en el dispositivo");
    case ENXIO:
    case ENODEV: return QStringLiteral("el dispositivo no está disponible");
    case EBUSY: return QStringLiteral("el dispositivo está ocupado");
    case ENOTTY: return QStringLiteral("no es un puerto serie");
    case EMFILE:
    case ENFILE: return QStringLiteral("hay demasiados archivos abiertos");
    case ENOMEM: return QStringLiteral("no queda memoria");
    case EEXIST: return QStringLiteral("ya existe");
    case EXDEV: return QStringLiteral("está en otro sistema de archivos");
    case EPIPE: return QStringLiteral("nadie lee al otro lado de la tubería");
    default:
        return QStringLiteral("error del sistema %1 (%2)").arg(errnum).arg(QString::fromLocal8Bit(std::strerror(errnum)));
    }
}

QString shownPath(const QByteArray &native)
{
    QString out;
    QByteArrayView rest(native);
    while (!rest.isEmpty()) {
        // Decode the longest valid UTF-8 prefix, then escape one byte and go on.
        qsizetype valid = 0;
        while (valid < rest.size()) {
            const auto c = static_cast<unsigned char>(rest[valid]);
            const int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
            if (len == 0 || valid + len > rest.size())
                break;
            bool ok = true;
            for (int i = 1; i < len; ++i)
                ok = ok && (static_cast<unsigned char>(rest[valid + i]) >> 6) == 2;
            if (!ok)
                break;
            valid += len;
        }
        out += QString::fromUtf8(rest.first(valid));
        if (valid < rest.size())
            out += QStringLiteral("\\x%1").arg(static_cast<unsigned char>(rest[valid]), 2, 16, QLatin1Char('0'));
        rest = rest.sliced(qMin(valid + 1, rest.size()));
    }
    return out;
}

} // namespace syserror
