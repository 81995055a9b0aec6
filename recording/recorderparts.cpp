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
// The raw file's bytes from this sample's first byte on (received ahead of decoding, buffered or
// already written) go to the next part: the part is still open, so it is cut back there.
void Recorder::nextPart(const Sample &s)
{
    m_partFull = false;
    ++m_part;
    if (m_csv && m_csv->isOpen()) {
        if (!m_headerWritten)
            writeHeader();
        if (nextFile(m_csv, m_csvBase)) {
            m_headerWritten = false;
            m_csvLast = m_part;
        }
    }
    if (m_raw && m_raw->isOpen()) {
        const qint64 start = s.streamEnd - 2;
        const qint64 at = rawOffsetOf(start);
        QByteArray rest;
        const bool cut = at >= 0 && m_raw->takeFrom(at, rest);
        if (nextFile(m_raw, m_rawBase)) {
            m_rawLast = m_part;
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
    qint64 &done = csv ? m_csvDone : m_rawDone;
    try {
        auto next = std::make_unique<RecordingFile>(Rotation::partPath(base, m_part));
        done += file->written();
        file = std::move(next);
        return true;
    } catch (const PlatformError &e) {
        // The closed part stays the file shown and counted.
        m_partRefused = true;
        QString why = e.message();
        why.remove(QStringLiteral("No se graba: ")).remove(QStringLiteral(" Elija otro nombre."));
        QString message = QStringLiteral("Se detuvo la grabación en %1 al pasar a la parte %2: %3 Las partes "
                                         "anteriores se conservan.")
                              .arg(file->shownPath(), QString::number(m_part), why); // one pass: a name may hold %1
        const RecordingFile *other = csv ? m_raw.get() : m_csv.get();
        if (other && other->isOpen())
            message += QStringLiteral(" La grabación sigue en %1.").arg(other->shownPath());
        emit failed(message);
        if (!isRecording()) {
            detach();
            emit stopped();
        }
        return false;
    }
}

// How full this part is: its CSV, or without one its raw file up to this sample's bytes (not
// the bytes of samples still to be decoded, which may go to the next part).
qint64 Recorder::partBytes(const Sample &last) const
{
    if (m_csv && m_csv->isOpen())
        return m_csv->size();
    if (m_raw && m_raw->isOpen())
        return qMax<qint64>(0, rawOffsetOf(last.streamEnd));
    return 0;
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

QString Recorder::shownParts(const RecordingFile *file, const QByteArray &base, quint64 last) const
{
    if (!file)
        return {};
    if (!m_rotation.enabled() || last == 1)
        return file->shownPath();
    return QStringLiteral("%1 … %2 (%3 partes)")
        .arg(syserror::shownPath(Rotation::partPath(base, 1)), file->shownPath(), QString::number(last));
}

QString Recorder::csvPath() const
{
    return shownParts(m_csv.get(), m_csvBase, m_csvLast);
}

QString Recorder::rawPath() const
{
    return shownParts(m_raw.get(), m_rawBase, m_rawLast);
}
