#include "devicenames.h"

#include "syserror.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devicenames {

QByteArray defaultDevice(int port)
{
#ifdef Q_OS_WIN
    return "COM" + QByteArray::number(port);
#else
    return "/dev/ttyS" + QByteArray::number(port - 1);
#endif
}

QByteArray absolute(const QByteArray &path, const QByteArray &workingFolder)
{
#ifdef Q_OS_UNIX
    if (path.isEmpty() || path.startsWith('/'))
        return path;
    QByteArray folder = workingFolder;
    if (!folder.endsWith('/'))
        folder += '/';
    return folder + (path.startsWith("./") ? path.mid(2) : path);
#else
    return path;
#endif
}

namespace {

QString missing(const QByteArray &path)
{
    // "ttyUSB0" in the home folder is not /dev/ttyUSB0; say so when that one exists.
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray inDev = "/dev/" + path.mid(slash + 1);
    struct stat st {};
    if (!path.startsWith("/dev/") && slash >= 0 && ::stat(inDev.constData(), &st) == 0 && S_ISCHR(st.st_mode))
        return QStringLiteral("el dispositivo no existe (¿quiso decir %1?)").arg(syserror::shownPath(inDev));
    return QStringLiteral("el dispositivo no existe");
}

} // namespace

QString whyCannotOpen(const QByteArray &path)
{
#ifdef Q_OS_UNIX
    if (path.isEmpty())
        return QStringLiteral("no se indicó ningún dispositivo");
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return errno == ENOENT ? missing(path) : syserror::reason(errno);
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("es una carpeta, no un dispositivo");
    if (!S_ISCHR(st.st_mode))
        return QStringLiteral("no es un dispositivo serie");
    if (::faccessat(AT_FDCWD, path.constData(), R_OK | W_OK, AT_EACCESS) != 0)
        return errno == EACCES || errno == EPERM
                   ? QStringLiteral("no hay permiso para usarlo (en Debian, el usuario debe ser del grupo dialout)")
                   : syserror::reason(errno);
    // The lock file is named after the whole path ("LCK.." and the path with its slashes
    // turned into underscores), and a file name has at most 255 bytes.
    const QByteArray lockName = "LCK.." + (path.startsWith("/dev/") ? path.mid(5) : path);
    if (lockName.size() > 255)
        return QStringLiteral("la ruta es demasiado larga para el archivo de bloqueo del puerto "
                              "(%1 bytes; use una ruta más corta o un enlace)").arg(path.size());
#else
    Q_UNUSED(path);
#endif
    return {};
}

QString whyOpenFailed(QSerialPort::SerialPortError error, const QByteArray &path, const QString &systemText)
{
    switch (error) {
    case QSerialPort::PermissionError:
        // Access was checked before: what is left is a lock or exclusive use by someone else.
        return QStringLiteral("está en uso por otro programa");
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("el dispositivo no existe");
    default:
        break;
    }
    const int fd = ::open(path.constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool tty = fd >= 0 && ::isatty(fd);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0 && !tty ? QStringLiteral("no es un puerto serie")
                           : QStringLiteral("el sistema no lo permitió (%1)").arg(systemText);
}

OpenableNames::OpenableNames() = default;
OpenableNames::~OpenableNames() = default;

QString OpenableNames::nameFor(const QByteArray &path, int port)
{
    if (QFile::encodeName(QFile::decodeName(path)) == path)
        return QFile::decodeName(path);
    if (!m_aliases)
        m_aliases = std::make_unique<QTemporaryDir>();
    const QString alias = m_aliases->filePath(QStringLiteral("COM%1").arg(port));
    const QByteArray nativeAlias = QFile::encodeName(alias);
    ::unlink(nativeAlias.constData());
    if (::symlink(path.constData(), nativeAlias.constData()) != 0)
        return QFile::decodeName(path);
    return alias;
}

} // namespace devicenames
