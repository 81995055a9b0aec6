#include "rawhistory.h"

#include "syserror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct RawFile
{
    QByteArray path;
    qint64 firstPosition = 0;
    int fd = -1;
    ~RawFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// The entry of a sorted (index, value) list that applies to index: the last one at or before it.
template <typename List>
auto governing(const List &list, quint64 index)
{
    auto it = std::upper_bound(list.begin(), list.end(), index,
                               [](quint64 i, const auto &e) { return i < e.first; });
    return it == list.begin() ? list.end() : std::prev(it);
}

constexpr qint64 kRecordSize = 16; // u64 index, i64 Unix ns, little-endian

QString systemReason()
{
    return syserror::reason(errno);
}

// QDir::tempPath() is empty when TMPDIR names a folder that does not exist: name it all the same.
QString temporaryFolder()
{
    const QString path = QDir::tempPath();
    return path.isEmpty() ? qEnvironmentVariable("TMPDIR", QStringLiteral("/tmp")) : path;
}

bool readFully(int fd, char *into, qint64 size, qint64 offset)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, into + done, size_t(size - done), off_t(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += got;
    }
    return true;
}

bool writeFully(int fd, const char *from, qint64 size, qint64 offset)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t put = ::pwrite(fd, from + done, size_t(size - done), off_t(offset + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += put;
    }
    return true;
}

// A file of our own in folder that no name leads to: nothing to clean up however the program
// ends. Where the file system lacks O_TMPFILE, a named file unlinked at once.
int openUnlinked(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    const int fd = ::open(path.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR))
        return fd;
    QByteArray name = path + "/.dispvanto-llegadas-XXXXXX";
    const int named = ::mkostemp(name.data(), O_CLOEXEC);
    if (named >= 0)
        ::unlink(name.constData());
    return named;
}

} // namespace

RawReader rawFileReader(const QString &path, qint64 firstPosition)
{
    auto file = std::make_shared<RawFile>();
    file->path = QFile::encodeName(path);
    file->firstPosition = firstPosition;
    RawReader reader;
    reader.folder = QFileInfo(path).absolutePath();
    reader.read = [file](qint64 position, char *into, qint64 size) -> qint64 {
        if (file->fd < 0)
            file->fd = ::open(file->path.constData(), O_RDONLY | O_CLOEXEC);
        const qint64 offset = position - file->firstPosition;
        if (file->fd < 0 || offset < 0)
            return -1;
        qint64 done = 0;
        while (done < size) {
            const ssize_t got = ::pread(file->fd, into + done, size_t(size - done), off_t(offset + done));
            if (got <= 0)
                break;
            done += got;
        }
        return done;
    };
    return reader;
}

ArrivalSteps::~ArrivalSteps()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString ArrivalSteps::open(const QString &folder)
{
    QString why;
    for (const QString &where : {folder, temporaryFolder()}) {
        if (where.isEmpty())
            continue;
        m_fd = openUnlinked(where);
        if (m_fd >= 0) {
            m_folder = where;
            m_writable = true;
            return {};
        }
        why += QStringLiteral("%1%2 (%3)").arg(why.isEmpty() ? QString() : QStringLiteral(" ni en "),
                                              QDir::toNativeSeparators(where), systemReason());
    }
    return why;
}

QString ArrivalSteps::append(const Step &step, std::vector<Step> &lost)
{
    m_buffer.push_back(step);
    return m_buffer.size() < kBufferSteps ? QString() : flush(lost);
}

QString ArrivalSteps::flush(std::vector<Step> &lost)
{
    QByteArray bytes(qsizetype(m_buffer.size()) * kRecordSize, Qt::Uninitialized);
    char *p = bytes.data();
    for (const Step &s : m_buffer) {
        qToLittleEndian<quint64>(s.index, p);
        qToLittleEndian<qint64>(s.unixNanos, p + 8);
        p += kRecordSize;
    }
    if (writeFully(m_fd, bytes.constData(), bytes.size(), qint64(m_written) * kRecordSize)) {
        m_written += m_buffer.size();
        m_buffer.clear();
        return {};
    }
    const QString why = QStringLiteral("%1 (%2)").arg(QDir::toNativeSeparators(m_folder), systemReason());
    lost.insert(lost.end(), m_buffer.begin(), m_buffer.end());
    m_buffer.clear();
    m_writable = false; // what was written stays readable
    return why;
}

std::vector<ArrivalSteps::Step> ArrivalSteps::at(size_t k, size_t n) const
{
    std::vector<Step> out;
    n = std::min(n, count() - std::min(k, count()));
    const size_t fromFile = k < m_written ? std::min(n, m_written - k) : 0;
    if (fromFile > 0) {
        QByteArray bytes(qsizetype(fromFile) * kRecordSize, Qt::Uninitialized);
        if (!readFully(m_fd, bytes.data(), bytes.size(), qint64(k) * kRecordSize))
            return out;
        for (size_t i = 0; i < fromFile; ++i) {
            const char *p = bytes.constData() + qsizetype(i) * kRecordSize;
            out.push_back({qFromLittleEndian<quint64>(p), qFromLittleEndian<qint64>(p + 8)});
        }
    }
    for (size_t i = k + fromFile; i < k + n; ++i)
        out.push_back(m_buffer[i - m_written]);
    return out;
}

std::vector<ArrivalSteps::Step> ArrivalSteps::stepsFor(quint64 from, quint64 to) const
{
    // The first step after from, by bisection: a 16-byte read a probe.
    size_t lo = 0;
    size_t hi = count();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        const std::vector<Step> s = at(mid, 1);
        if (s.empty())
            return {};
        if (s.front().index <= from)
            lo = mid + 1;
        else
            hi = mid;
    }
    std::vector<Step> out;
    for (size_t k = lo > 0 ? lo - 1 : 0;;) {
        const std::vector<Step> chunk = at(k, kBufferSteps);
        if (chunk.empty())
            return out;
        for (const Step &s : chunk) {
            if (s.index >= to)
                return out;
            out.push_back(s);
        }
        k += chunk.size();
    }
}

QString RawHistory::noteBatch(const Batch &b)
{
    if (b.times.empty())
        return {};
    QString why;
    if (!m_stepsTried) {
        m_stepsTried = true;
        why = m_steps.open(m_reader.folder);
    }
    if (!m_steps.writable()) {
        keep({b.first, b.times.front().unixNanos});
    } else {
        for (const TimeStep &t : b.times) {
            if (m_hasLast && t.unixNanos == m_lastNanos)
                continue; // the same time goes on from the previous batch
            m_hasLast = true;
            m_lastNanos = t.unixNanos;
            const ArrivalSteps::Step step{b.first + t.offset, t.unixNanos};
            if (!m_steps.writable()) {
                m_marks.push_back(step); // the rest of the batch whose write failed, exactly
                continue;
            }
            std::vector<ArrivalSteps::Step> lost;
            why = m_steps.append(step, lost);
            m_marks.insert(m_marks.end(), lost.begin(), lost.end());
        }
    }
    if (why.isEmpty())
        return {};
    m_warning = QStringLiteral("MQTT: no se pueden guardar las horas de llegada de cada muestra en %1: las muestras "
                               "reenviadas desde la grabación cruda llevarán la hora de la primera de su lote")
                    .arg(why);
    return m_warning;
}

void RawHistory::keep(const ArrivalSteps::Step &step)
{
    if (m_marks.empty() || m_marks.back().unixNanos != step.unixNanos)
        m_marks.push_back(step);
}

std::vector<ArrivalSteps::Step> RawHistory::stepsFor(quint64 from, quint64 to) const
{
    // Every step in the file comes before every one kept in memory (those came after it failed).
    const auto after = std::upper_bound(m_marks.begin(), m_marks.end(), from,
                                        [](quint64 i, const ArrivalSteps::Step &s) { return i < s.index; });
    std::vector<ArrivalSteps::Step> out;
    if (after == m_marks.begin())
        out = m_steps.stepsFor(from, to);
    else
        out.push_back(*std::prev(after));
    for (auto it = after; it != m_marks.end() && it->index < to; ++it)
        out.push_back(*it);
    return out;
}

Batch RawHistory::read(quint64 session, quint64 from, quint64 to) const
{
    Batch out;
    out.session = session;
    out.first = from;
    const auto run = governing(m_runs, from);
    if (!m_reader || run == m_runs.end() || to <= from)
        return out;
    const auto nextRun = std::next(run);
    if (nextRun != m_runs.end())
        to = std::min(to, nextRun->first);
    QByteArray bytes(qsizetype(2 * (to - from)), Qt::Uninitialized);
    const qint64 got = m_reader.read(2 * qint64(from) + run->second, bytes.data(), bytes.size());
    const quint64 n = got > 0 ? quint64(got / 2) : 0;
    const std::vector<ArrivalSteps::Step> steps = stepsFor(from, from + n);
    size_t next = 0;
    qint64 arrival = 0;
    for (quint64 i = 0; i < n; ++i) {
        for (; next < steps.size() && steps[next].index <= from + i; ++next)
            arrival = steps[next].unixNanos;
        out.append(qFromLittleEndian<quint16>(bytes.constData() + 2 * i), arrival);
    }
    return out;
}
