#include "settingsfile.h"

#include "fileio.h"
#include "platformerror.h"
#include "syserror.h"

#include <QDir>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace settingsfile {

QString fileName() { return QStringLiteral("serphcn.cmm"); }

QByteArray defaultPath()
{
#ifdef Q_OS_WIN
    return QByteArrayLiteral("c:\\picproy\\setup\\") + fileName().toLatin1();
#else
    // HOME as bytes: decoding it to text would mangle a name that is not valid UTF-8.
    QByteArray home = qgetenv("HOME");
    if (home.isEmpty())
        home = QFile::encodeName(QDir::homePath());
    return home + "/picproy/setup/" + fileName().toLatin1();
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

struct Field
{
    QByteArray value;
    bool unclosedQuote = false; ///< a quoted field whose line ended before its closing quote
    bool endsData = false;      ///< ran to the end of the bytes without a separator
};

/// Reads one field at pos, leaving pos past its separator. Returns nothing at the end of data.
std::optional<Field> readField(const QByteArray &b, qsizetype &pos)
{
    const qsizetype n = b.size();
    while (pos < n && isBlank(b[pos]))
        ++pos;
    if (pos >= n)
        return std::nullopt;
    Field f;
    if (b[pos] == '"') {
        qsizetype end = pos + 1;
        while (end < n && b[end] != '"' && !isLineEnd(b[end]))
            ++end;
        f.value = b.mid(pos + 1, end - pos - 1);
        if (end >= n || b[end] != '"') {
            f.unclosedQuote = true;
            pos = end;
        } else {
            pos = end + 1;
            while (pos < n && b[pos] != ',' && !isLineEnd(b[pos]))
                ++pos; // anything after the closing quote is skipped
        }
    } else {
        // Blanks at the end are part of the field: it ends only at a comma or a line end.
        const qsizetype start = pos;
        while (pos < n && b[pos] != ',' && !isLineEnd(b[pos]))
            ++pos;
        f.value = b.mid(start, pos - start);
    }
    f.endsData = pos >= n;
    if (pos < n) {
        if (b[pos] == '\r' && pos + 1 < n && b[pos + 1] == '\n')
            ++pos; // CR LF is one line end
        ++pos;
    }
    return f;
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

/// The first byte before end that is not text, if any.
std::optional<qsizetype> firstNonText(const QByteArray &bytes, qsizetype end)
{
    for (qsizetype i = 0; i < end; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if ((c < 0x20 || c > 0x7e) && !isLineEnd(char(c)) && c != '\t')
            return i;
    }
    return std::nullopt;
}

} // namespace

std::optional<serialsettings::Pieces> parse(const QByteArray &bytes, QString *why, bool complete)
{
    Field fields[5];
    int count = 0;
    qsizetype pos = 0;
    for (; count < 5; ++count) {
        auto f = readField(bytes, pos);
        if (!f)
            break;
        fields[count] = *f;
    }
    // Only the five fields are read: whatever follows them is never looked at.
    // The saver writes plain ASCII only; anything else within them is not a settings file of ours.
    if (const auto bad = firstNonText(bytes, pos)) {
        const auto c = static_cast<unsigned char>(bytes[*bad]);
        return refuse(why, QStringLiteral("el archivo contiene un byte que no es texto (0x%1 en la posición %2)")
                               .arg(c, 2, 16, QLatin1Char('0'))
                               .arg(*bad + 1));
    }
    if (count == 0)
        return refuse(why, QStringLiteral("el archivo está vacío"));
    if (count < 5 && complete)
        return refuse(why, QStringLiteral("el archivo tiene solo %1 de los 5 campos").arg(count));
    if (!complete && (count < 5 || fields[count - 1].endsData))
        return refuse(why, QStringLiteral("los campos del archivo son demasiado largos (más de %1 bytes)").arg(bytes.size()));
    for (int i = 0; i < 5; ++i) {
        if (fields[i].unclosedQuote)
            return refuse(why, QStringLiteral("al campo %1 le falta la comilla de cierre").arg(i + 1));
        // A quote inside a value could not be written back: the file is damaged.
        if (fields[i].value.contains('"'))
            return refuse(why, QStringLiteral("hay comillas sueltas en el campo %1").arg(i + 1));
    }
    const auto port = wholeNumber16(fields[4].value);
    if (!port) {
        const QByteArray &v = fields[4].value;
        const QString shown = QString::fromLatin1(v.left(20)) + (v.size() > 20 ? QStringLiteral("…") : QString());
        return refuse(why, QStringLiteral("el quinto campo, «%1», no es un número de puerto "
                                          "(un entero entre -32768 y 32767)").arg(shown));
    }
    return serialsettings::Pieces{QString::fromLatin1(fields[0].value), QString::fromLatin1(fields[1].value),
                                  QString::fromLatin1(fields[2].value), QString::fromLatin1(fields[3].value), *port};
}

namespace {

QByteArray folderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArrayLiteral(".") : slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("una carpeta");
    if (S_ISFIFO(mode))
        return QStringLiteral("una tubería con nombre (FIFO)");
    if (S_ISCHR(mode))
        return QStringLiteral("un dispositivo de caracteres");
    if (S_ISBLK(mode))
        return QStringLiteral("un dispositivo de bloques");
    if (S_ISSOCK(mode))
        return QStringLiteral("un socket");
    return QStringLiteral("un archivo especial");
}

/// Whether the current user may change the file. The superuser may write anything, so for
/// it a file that nobody may write counts as read-only: that is how a user protects a file.
bool mayWrite(const QByteArray &path, const struct stat &st)
{
    if (::geteuid() == 0)
        return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    return ::faccessat(AT_FDCWD, path.constData(), W_OK, AT_EACCESS) == 0;
}

} // namespace

void save(const QByteArray &givenPath, const serialsettings::Pieces &p)
{
    const QString shownPath = syserror::shownPath(givenPath);
    auto fail = [&](const QString &what, int err) {
        throw PlatformError(QStringLiteral("No se guardó la configuración en %1: %2 (%3). El archivo anterior no cambió.")
                                .arg(shownPath, what, syserror::reason(err)));
    };
    // A link to the settings file keeps pointing at it: the file it names is the one replaced.
    QByteArray path = givenPath;
    struct stat st {};
    const bool exists = ::stat(givenPath.constData(), &st) == 0;
    if (exists) {
        if (char *real = ::realpath(givenPath.constData(), nullptr)) {
            path = real;
            std::free(real);
        }
    }
    const QByteArray folder = folderOf(path);
    struct stat folderStat {};
    if (::stat(folder.constData(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode))
        throw PlatformError(QStringLiteral("No se guardó la configuración: no existe la carpeta %1.")
                                .arg(syserror::shownPath(folder)));
    if (exists && !S_ISREG(st.st_mode))
        throw PlatformError(QStringLiteral("No se guardó la configuración: %1 es %2, no un archivo.")
                                .arg(shownPath, kindOf(st.st_mode)));
    // Replacing the file through a rename would succeed even over a read-only file; a
    // read-only file is the user's way of saying it must not change.
    if (exists && !mayWrite(path, st))
        throw PlatformError(QStringLiteral("No se guardó la configuración: %1 es de solo lectura para este usuario.")
                                .arg(shownPath));

    QByteArray temp = path + ".XXXXXX";
    fileio::FileDescriptor fd(::mkstemp(temp.data()));
    if (fd.get() < 0)
        fail(QStringLiteral("no se pudo crear un archivo nuevo en la carpeta %1").arg(syserror::shownPath(folder)), errno);
    auto failAndRemove = [&](const QString &what, int err) {
        fd.close();
        ::unlink(temp.constData());
        fail(what, err);
    };
    mode_t mode = 0;
    if (exists) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd.get(), mode);
    const QByteArray bytes = serialize(p);
    if (const int err = fileio::writeAll(fd.get(), bytes.constData(), size_t(bytes.size())))
        failAndRemove(QStringLiteral("falló la escritura"), err);
    // Space on some file systems is only claimed at sync or close: both are checked too.
    if (::fsync(fd.get()) != 0)
        failAndRemove(QStringLiteral("falló la escritura"), errno);
    if (fd.close() != 0) {
        const int err = errno;
        ::unlink(temp.constData());
        fail(QStringLiteral("falló la escritura"), err);
    }
    if (::rename(temp.constData(), path.constData()) != 0) {
        const int err = errno;
        ::unlink(temp.constData());
        fail(QStringLiteral("no se pudo reemplazar el archivo"), err);
    }
}

serialsettings::Pieces load(const QByteArray &path)
{
    const QString shownPath = syserror::shownPath(path);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0) {
        if (errno == ENOENT)
            throw PlatformError(QStringLiteral("No se cargó la configuración: no existe el archivo %1.").arg(shownPath));
        throw PlatformError(QStringLiteral("No se cargó la configuración: no se pudo leer %1 (%2).")
                                .arg(shownPath, syserror::reason(errno)));
    }
    // A FIFO or a terminal in its place would block the program while it waits for data.
    auto refuseKind = [&](mode_t mode) {
        throw PlatformError(QStringLiteral("No se cargó la configuración: %1 es %2, no un archivo.")
                                .arg(shownPath, kindOf(mode)));
    };
    if (!S_ISREG(st.st_mode))
        refuseKind(st.st_mode);
    fileio::FileDescriptor fd(::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0)
        throw PlatformError(QStringLiteral("No se cargó la configuración: no se pudo abrir %1 (%2).")
                                .arg(shownPath, syserror::reason(errno)));
    // It may have been swapped between the look and the open.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        refuseKind(st.st_mode);
    QByteArray bytes(kReadPrefix + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw PlatformError(QStringLiteral("No se cargó la configuración: no se pudo leer %1 (%2).")
                                    .arg(shownPath, syserror::reason(errno)));
        if (n == 0)
            break;
        got += n;
    }
    const bool complete = got <= kReadPrefix;
    bytes.truncate(qMin(got, kReadPrefix));
    QString why;
    const auto pieces = parse(bytes, &why, complete);
    if (!pieces)
        throw PlatformError(QStringLiteral("No se cargó la configuración de %1: %2. No se cambió nada.").arg(shownPath, why));
    return *pieces;
}

} // namespace settingsfile
