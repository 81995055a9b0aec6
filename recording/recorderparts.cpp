// The recorder's parts: when a rotation starts the next set of files, and where the raw file is
// cut so that each part holds the bytes of its own samples.
#include "recorder.h"

#include "platformerror.h"
#include "syserror.h"

void Recorder::checkRotation(const Sample &s)
{
    if (m_samples > 0) {
        if (!m_partFull && (m_partEnds < 0 || s.arrivalNanos < m_partEnds))
            return;
        nextPart(s);
    }
    // Periods count from the start, whole ones: a part ends at the next multiple after this
    // sample (periods without samples have no part).
    if (m_rotation.periodNanos) {
        const qint64 since = s.arrivalNanos - m_origin;
        const qint64 periods = since < 0 ? 0 : since / m_rotation.periodNanos;
        m_partEnds = m_origin + (periods + 1) * m_rotation.periodNanos;
    }
}

// Closes this part's files and opens the next ones; this sample is the first of the new part.
// The raw file is cut where the sample's bytes start when they are still in its buffer (they
// are unless decoding is far behind reception); otherwise everything received so far stays in
// the part that closes.
void Recorder::nextPart(const Sample &s)
{
    m_partFull = false;
    ++m_part;
    if (m_csv && m_csv->isOpen()) {
        if (!m_headerWritten)
            writeHeader();
        if (nextFile(m_csv, m_csvBase))
            m_headerWritten = false;
    }
    if (m_raw && m_raw->isOpen()) {
        const qint64 start = s.streamEnd - 2;
        const qint64 at = rawOffsetOf(start);
        const bool cut = at >= m_raw->written();
        QByteArray rest;
        if (cut) {
            const qsizetype inBuffer = qsizetype(at - m_raw->written());
            rest = m_raw->buffer().mid(inBuffer);
            m_raw->buffer().truncate(inBuffer);
        }
        if (nextFile(m_raw, m_rawBase)) {
            m_raw->buffer() = rest;
            m_rawPartStart = cut ? start : m_receivedEnd;
            m_tailPosition = cut ? start : -1;
            m_tailFileOffset = 0;
        }
    }
}

// The file's part ends (written, made durable, closed) and the next one is created in its
// place; false when either failed (the file stops there, told like any failed write).
bool Recorder::nextFile(std::unique_ptr<RecordingFile> &file, const QByteArray &base)
{
    const bool csv = file.get() == m_csv.get();
    if (!flushFile(*file))
        return false;
    if (!file->close(csv)) {
        reportFailure(*file);
        return false;
    }
    (csv ? m_csvDone : m_rawDone) += file->written();
    try {
        file = std::make_unique<RecordingFile>(Rotation::partPath(base, m_part));
        return true;
    } catch (const PlatformError &e) {
        m_partRefused = true;
        QString message = QStringLiteral("Se detuvo la grabación en %1 al pasar a la parte %2: %3 Las partes "
                                         "anteriores se conservan.")
                              .arg(file->shownPath())
                              .arg(m_part)
                              .arg(e.message());
        const RecordingFile *other = csv ? m_raw.get() : m_csv.get();
        if (other && other->isOpen())
            message += QStringLiteral(" La grabación sigue en %1.").arg(other->shownPath());
        // The closed part stays the file shown and counted as such: not among the parts done.
        (csv ? m_csvDone : m_rawDone) -= file->written();
        emit failed(message);
        if (!isRecording()) {
            detach();
            emit stopped();
        }
        return false;
    }
}

// Writes the raw buffer out; with a rotation, the bytes past the last sample recorded stay (a
// part may end among them), unless they are many (decoding far behind: the part then ends after
// them).
bool Recorder::flushRaw()
{
    QByteArray &buffer = m_raw->buffer();
    const qint64 at = rawOffsetOf(m_lastSampleEnd);
    const qint64 keep = at >= m_raw->written() ? m_raw->size() - at : 0;
    if (keep == 0 || keep > kFlushBytes / 4) // a copy of this much at each write is cheap
        return flushFile(*m_raw);
    QByteArray rest = buffer.right(qsizetype(keep));
    buffer.chop(qsizetype(keep));
    const bool ok = flushFile(*m_raw);
    if (ok && m_raw->isOpen())
        m_raw->buffer() = rest;
    return ok;
}

// Where this stream position is in the raw file (written or buffered), when it is in its newest
// stretch of consecutive positions; -1 if not.
qint64 Recorder::rawOffsetOf(qint64 position) const
{
    if (!m_raw || m_tailPosition < 0)
        return -1;
    const qint64 into = position - m_tailPosition;
    if (into < 0 || into > m_raw->size() - m_tailFileOffset)
        return -1;
    return m_tailFileOffset + into;
}

QString Recorder::shownParts(const RecordingFile *file, const QByteArray &base) const
{
    if (!file)
        return {};
    if (!m_rotation.enabled() || m_part == 1)
        return file->shownPath();
    return QStringLiteral("%1 … %2 (%3 partes)")
        .arg(syserror::shownPath(Rotation::partPath(base, 1)), file->shownPath())
        .arg(m_part);
}

QString Recorder::csvPath() const
{
    return shownParts(m_csv.get(), m_csvBase);
}

QString Recorder::rawPath() const
{
    return shownParts(m_raw.get(), m_rawBase);
}
