#include "settingsfile.h"

#include "platformerror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace settingsfile {

QString fileName() { return QStringLiteral("serphcn.cmm"); }

QString defaultPath()
{
#ifdef Q_OS_WIN
    return QStringLiteral("c:\\picproy\\setup\\") + fileName();
#else
    return QDir::homePath() + QStringLiteral("/picproy/setup/") + fileName();
#endif
}

QByteArray serialize(const serialsettings::Pieces &p)
{
    QByteArray out;
    for (const QString *piece : {&p.velocidad, &p.paridad, &p.bitsdatos, &p.bitsparada})
        out += '"' + piece->toLatin1() + "\"\r\n";
    out += QByteArray::number(p.numpuerto) + "\r\n";
    return out;
}

namespace {

bool isLineEnd(char c) { return c == '\r' || c == '\n'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

/// Reads one field at pos, leaving pos past its separator. Returns nothing at the end of data.
std::optional<QByteArray> readField(const QByteArray &b, qsizetype &pos)
{
    const qsizetype n = b.size();
    while (pos < n && isBlank(b[pos]))
        ++pos;
    if (pos >= n)
        return std::nullopt;
    QByteArray value;
    if (b[pos] == '"') {
        const qsizetype close = b.indexOf('"', pos + 1);
        const qsizetype end = close < 0 ? n : close;
        value = b.mid(pos + 1, end - pos - 1);
        pos = end + 1;
        while (pos < n && b[pos] != ',' && !isLineEnd(b[pos]))
            ++pos; // anything after the closing quote is skipped
    } else {
        const qsizetype start = pos;
        while (pos < n && b[pos] != ',' && !isLineEnd(b[pos]))
            ++pos;
        value = b.mid(start, pos - start).trimmed();
    }
    if (pos < n) {
        if (b[pos] == '\r' && pos + 1 < n && b[pos + 1] == '\n')
            ++pos; // CR LF is one line end
        ++pos;
    }
    return value;
}

std::optional<qint16> wholeNumber16(const QByteArray &text)
{
    const QByteArray t = text.trimmed();
    qsizetype i = (t.startsWith('-') || t.startsWith('+')) ? 1 : 0;
    if (i == t.size() || t.size() > 12)
        return std::nullopt;
    for (qsizetype j = i; j < t.size(); ++j)
        if (t[j] < '0' || t[j] > '9')
            return std::nullopt;
    const long long v = t.toLongLong();
    if (v < -32768 || v > 32767)
        return std::nullopt;
    return static_cast<qint16>(v);
}

std::optional<serialsettings::Pieces> refuse(QString *why, const QString &reason)
{
    if (why)
        *why = reason;
    return std::nullopt;
}

} // namespace

std::optional<serialsettings::Pieces> parse(const QByteArray &bytes, QString *why)
{
    // The saver writes plain ASCII only; anything else is not a settings file of ours.
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if ((c < 0x20 || c > 0x7e) && !isLineEnd(char(c)) && c != '\t')
            return refuse(why, QStringLiteral("contiene un byte que no es texto (0x%1 en la posición %2)")
                                   .arg(c, 2, 16, QLatin1Char('0'))
                                   .arg(i + 1));
    }
    QByteArray fields[5];
    qsizetype pos = 0;
    for (int i = 0; i < 5; ++i) {
        auto f = readField(bytes, pos);
        if (!f)
            return refuse(why, i == 0 ? QStringLiteral("está vacío")
                                      : QStringLiteral("tiene solo %1 de los 5 campos").arg(i));
        // A quote inside a value could not be written back: the file is damaged.
        if (f->contains('"'))
            return refuse(why, QStringLiteral("tiene comillas sueltas en el campo %1").arg(i + 1));
        fields[i] = *f;
    }
    const auto port = wholeNumber16(fields[4]);
    if (!port) {
        const QString shown = QString::fromLatin1(fields[4].left(20)) + (fields[4].size() > 20 ? QStringLiteral("…") : QString());
        return refuse(why, QStringLiteral("el quinto campo «%1» no es un número de puerto "
                                          "(un entero entre -32768 y 32767)").arg(shown));
    }
    return serialsettings::Pieces{QString::fromLatin1(fields[0]), QString::fromLatin1(fields[1]),
                                  QString::fromLatin1(fields[2]), QString::fromLatin1(fields[3]), *port};
}

void save(const QString &path, const serialsettings::Pieces &p)
{
    const QFileInfo info(path);
    const QString folder = QDir::toNativeSeparators(info.absolutePath());
    const QString shownPath = QDir::toNativeSeparators(path);
    if (!info.dir().exists())
        throw PlatformError(QStringLiteral("No se guardó la configuración: no existe la carpeta %1.").arg(folder));
    if (info.isDir())
        throw PlatformError(QStringLiteral("No se guardó la configuración: %1 es una carpeta.").arg(shownPath));
    // Replacing the file through a rename would succeed even over a read-only file; a
    // read-only file is the user's way of saying it must not change.
    if (info.exists() && !(info.permissions() & QFileDevice::WriteOwner))
        throw PlatformError(QStringLiteral("No se guardó la configuración: %1 es de solo lectura.").arg(shownPath));

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw PlatformError(QStringLiteral("No se pudo crear %1: %2.").arg(shownPath, file.errorString()));
    const QByteArray bytes = serialize(p);
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw PlatformError(QStringLiteral("No se pudo escribir %1: %2. El archivo anterior no cambió.")
                                .arg(shownPath, file.errorString()));
}

serialsettings::Pieces load(const QString &path)
{
    const QFileInfo info(path);
    const QString shownPath = QDir::toNativeSeparators(path);
    if (!info.exists())
        throw PlatformError(QStringLiteral("No se cargó la configuración: no existe el archivo %1.").arg(shownPath));
    if (info.isDir())
        throw PlatformError(QStringLiteral("No se cargó la configuración: %1 es una carpeta, no un archivo.").arg(shownPath));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw PlatformError(QStringLiteral("No se pudo leer %1: %2.").arg(shownPath, file.errorString()));
    const QByteArray bytes = file.read(kMaxSize + 1);
    if (file.error() != QFileDevice::NoError)
        throw PlatformError(QStringLiteral("No se pudo leer %1: %2.").arg(shownPath, file.errorString()));
    if (bytes.size() > kMaxSize)
        throw PlatformError(QStringLiteral("No se cargó la configuración: %1 es demasiado grande "
                                           "para ser un archivo de configuración.").arg(shownPath));
    QString why;
    const auto pieces = parse(bytes, &why);
    if (!pieces)
        throw PlatformError(QStringLiteral("No se cargó la configuración: el archivo %1 %2. "
                                           "No se cambió nada.").arg(shownPath, why));
    return *pieces;
}

} // namespace settingsfile
