#include "rawhistory.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
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

} // namespace

RawReader rawFileReader(const QString &path, qint64 firstPosition)
{
    auto file = std::make_shared<RawFile>();
    file->path = QFile::encodeName(path);
    file->firstPosition = firstPosition;
    return [file](qint64 position, char *into, qint64 size) -> qint64 {
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
    const qint64 got = m_reader(2 * qint64(from) + run->second, bytes.data(), bytes.size());
    const quint64 n = got > 0 ? quint64(got / 2) : 0;
    auto mark = governing(m_marks, from);
    auto next = mark == m_marks.end() ? m_marks.begin() : std::next(mark);
    for (quint64 i = 0; i < n; ++i) {
        for (; next != m_marks.end() && next->first <= from + i; ++next)
            mark = next;
        const qint64 arrival = mark == m_marks.end() ? 0 : mark->second;
        out.append(qFromLittleEndian<quint16>(bytes.constData() + 2 * i), arrival);
    }
    return out;
}
