#pragma once

#include "fileio.h"

#include <QByteArray>
#include <QString>
#include <functional>

/// One file of a recording: created new (never replacing one), written from a buffer, and
/// stopped for good at its first failed write, keeping what reached it. Paths are bytes, as
/// the system names files.
class RecordingFile
{
public:
    /// Creates the file; throws PlatformError naming it when it exists or cannot be created.
    explicit RecordingFile(const QByteArray &path);
    ~RecordingFile();
    RecordingFile(const RecordingFile &) = delete;
    RecordingFile &operator=(const RecordingFile &) = delete;

    QByteArray &buffer() { return m_buffer; }
    /// Still taking data: neither failed nor closed.
    bool isOpen() const { return m_fd.isOpen(); }
    bool failed() const { return m_error != 0; }
    /// Bytes that reached the file.
    qint64 written() const { return m_written; }
    /// Bytes that are in it or will be: written, and buffered while it still takes data.
    qint64 size() const { return m_written + (isOpen() ? m_buffer.size() : 0); }
    QString shownPath() const;
    /// Why it stopped, in Spanish (empty while it has not failed).
    QString reason() const;

    /// Writes what is buffered. On failure the file is closed and keeps what reached it; with
    /// wholeLines, cut back to the last complete line, and kept (if given) is shown the part of
    /// the buffer that stayed. Returns false once it has failed.
    bool flush(bool wholeLines, const std::function<void(QByteArrayView kept)> &kept = {});
    /// Keeps only the first size bytes, written or buffered.
    void truncate(qint64 size);
    /// Hands over the bytes from offset on, written or buffered, and keeps only those before it;
    /// false (nothing changed) when the written ones cannot be read back.
    bool takeFrom(qint64 offset, QByteArray &out);
    /// Flushes, makes it durable and closes it; false when that failed.
    bool close(bool wholeLines);
    /// Closes and deletes it: for a start that is refused before anything was recorded.
    void remove();
    /// Whether this path names the same file as another path that does not exist yet either
    /// ("x" and "./x", or through a link to the folder).
    static bool sameNewFile(const QByteArray &a, const QByteArray &b);

private:
    void fail(int err, bool wholeLines, size_t done, const std::function<void(QByteArrayView)> &kept);

    QByteArray m_path;
    fileio::FileDescriptor m_fd;
    QByteArray m_buffer;
    qint64 m_written = 0;
    int m_error = 0;
};
