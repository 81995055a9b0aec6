#include "recordingfile.h"

#include "platformerror.h"
#include "syserror.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Buffers are written out at about this size (or by the caller's timer).
constexpr qsizetype kBufferReserve = (1 << 20) + 4096;

QByteArray folderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
}

/// When a file cannot be created because of a folder on its way, that folder and what is wrong
/// with it: the outermost one missing, or a file standing where a folder should be. Empty when
/// every folder is there.
QString folderProblem(const QByteArray &path)
{
    QByteArray missing;
    QByteArray folder = folderOf(path);
    struct stat st {};
    while (::stat(folder.constData(), &st) != 0) {
        const QByteArray up = folderOf(folder);
        if ((errno != ENOENT && errno != ENOTDIR) || up == folder)
            return {};
        missing = folder;
        folder = up;
    }
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("%1 no es una carpeta").arg(syserror::shownPath(folder));
    return missing.isEmpty() ? QString() : QStringLiteral("no existe la carpeta %1").arg(syserror::shownPath(missing));
}

} // namespace

RecordingFile::RecordingFile(const QByteArray &path) : m_path(path)
{
    m_fd = fileio::FileDescriptor(::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!m_fd.isOpen()) {
        const int err = errno;
        if (err == EEXIST)
            throw PlatformError(QStringLiteral("No se graba: el archivo %1 ya existe y no se sobrescribe. Elija otro nombre.")
                                    .arg(shownPath()));
        if (const QString folder = err == ENOENT || err == ENOTDIR ? folderProblem(path) : QString(); !folder.isEmpty())
            throw PlatformError(QStringLiteral("No se graba: no se pudo crear %1: %2.").arg(shownPath(), folder));
        throw PlatformError(QStringLiteral("No se graba: no se pudo crear %1 (%2).").arg(shownPath(), syserror::reason(err)));
    }
    m_buffer.reserve(kBufferReserve);
}

RecordingFile::~RecordingFile() = default;

QString RecordingFile::shownPath() const
{
    return syserror::shownPath(m_path);
}

QString RecordingFile::reason() const
{
    return m_error ? syserror::reason(m_error) : QString();
}

bool RecordingFile::flush(bool wholeLines, const std::function<void(QByteArrayView)> &kept)
{
    if (!isOpen())
        return !failed();
    if (m_buffer.isEmpty())
        return true;
    size_t done = 0;
    const int err = fileio::writeAll(m_fd.get(), m_buffer.constData(), size_t(m_buffer.size()), &done);
    m_written += qint64(done);
    if (err) {
        fail(err, wholeLines, done, kept);
        return false;
    }
    m_buffer.clear();
    return true;
}

void RecordingFile::fail(int err, bool wholeLines, size_t done, const std::function<void(QByteArrayView)> &kept)
{
    // What reached the file stays readable: a cut line is taken back.
    qsizetype stayed = qsizetype(done);
    if (wholeLines) {
        const qsizetype partial = qsizetype(done) - (done > 0 ? m_buffer.lastIndexOf('\n', qsizetype(done) - 1) + 1 : 0);
        if (partial > 0 && ::ftruncate(m_fd.get(), m_written - partial) == 0) {
            m_written -= partial;
            stayed -= partial;
        }
    }
    if (kept)
        kept(QByteArrayView(m_buffer).first(stayed));
    m_error = err;
    m_buffer = QByteArray();
    m_fd.close();
}

void RecordingFile::truncate(qint64 size)
{
    if (size >= m_written) {
        m_buffer.truncate(qsizetype(size - m_written));
        return;
    }
    m_buffer.clear();
    if (isOpen() && ::ftruncate(m_fd.get(), size) == 0)
        m_written = size;
}

bool RecordingFile::takeFrom(qint64 offset, QByteArray &out)
{
    if (offset >= m_written) {
        out = m_buffer.mid(qsizetype(offset - m_written));
        m_buffer.truncate(qsizetype(offset - m_written));
        return true;
    }
    if (!isOpen() || offset < 0)
        return false;
    QByteArray back(qsizetype(m_written - offset), Qt::Uninitialized);
    for (qsizetype done = 0; done < back.size();) {
        const ssize_t n = ::pread(m_fd.get(), back.data() + done, size_t(back.size() - done), offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    if (::ftruncate(m_fd.get(), offset) != 0)
        return false;
    out = back + m_buffer;
    m_buffer.clear();
    m_written = offset;
    return true;
}

bool RecordingFile::close(bool wholeLines)
{
    if (!flush(wholeLines))
        return false;
    if (!isOpen())
        return true;
    // Space on some file systems is only claimed at sync or close: both are checked.
    if (::fsync(m_fd.get()) != 0 && errno != EINVAL) {
        m_error = errno;
        m_fd.close();
        return false;
    }
    if (m_fd.close() != 0) {
        m_error = errno;
        return false;
    }
    return true;
}

void RecordingFile::remove()
{
    m_fd.close();
    m_buffer.clear();
    ::unlink(m_path.constData());
}

bool RecordingFile::sameNewFile(const QByteArray &a, const QByteArray &b)
{
    const auto name = [](const QByteArray &p) { return p.mid(p.lastIndexOf('/') + 1); };
    if (name(a) != name(b))
        return false;
    struct stat fa {}, fb {};
    return ::stat(folderOf(a).constData(), &fa) == 0 && ::stat(folderOf(b).constData(), &fb) == 0
           && fa.st_dev == fb.st_dev && fa.st_ino == fb.st_ino;
}
