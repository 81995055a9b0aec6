#include "recorder.h"

#include "acquisition.h"
#include "platformerror.h"
#include "syserror.h"
#include "wallclock.h"

#include <QPointer>
#include <charconv>
#include <sys/stat.h>

#ifndef DISPVANTO_VERSION
#define DISPVANTO_VERSION "0"
#endif

namespace {

// Buffers are written out when they reach this size, or by the timer.
constexpr qsizetype kFlushBytes = 1 << 20;

QByteArray commentLine(const QString &text)
{
    // One line per comment: a line end inside would start a row, and a double quote (in a
    // device's path, say) would open a field that a CSV reader runs on to the end of the file.
    QString line = text;
    line.replace(u'\r', u' ').replace(u'\n', u' ').replace(u'"', u'\'');
    return "# " + line.toUtf8() + "\r\n";
}

QString isoWithZone(const QDateTime &t, int micros = -1)
{
    QString iso = wallclock::fixedOffset(t).toString(Qt::ISODateWithMs);
    // Microseconds, like the times of the rows, when they are known.
    if (micros >= 0)
        iso.insert(iso.indexOf(u'.') + 4, QStringLiteral("%1").arg(micros % 1000, 3, 10, QLatin1Char('0')));
    return iso;
}

/// Sample rows among these complete CSV lines (comments and the column names are not rows).
quint64 rowsIn(QByteArrayView lines)
{
    quint64 rows = 0;
    bool lineStart = true;
    for (char c : lines) {
        if (lineStart && c >= '0' && c <= '9')
            ++rows;
        lineStart = c == '\n';
    }
    return rows;
}

} // namespace

Recorder::Recorder(const QByteArray &givenCsv, const QByteArray &givenRaw, Rotation rotation, QObject *parent)
    : QObject(parent), m_rotation(rotation), m_csvBase(givenCsv), m_rawBase(givenRaw)
{
    const bool parts = rotation.enabled();
    const QByteArray csvPath = parts && !givenCsv.isEmpty() ? Rotation::partPath(givenCsv, 1) : givenCsv;
    const QByteArray rawPath = parts && !givenRaw.isEmpty() ? Rotation::partPath(givenRaw, 1) : givenRaw;
    if (!csvPath.isEmpty() && !rawPath.isEmpty() && (csvPath == rawPath || RecordingFile::sameNewFile(csvPath, rawPath)))
        throw PlatformError(QStringLiteral("No se graba: las muestras y los bytes crudos irían al mismo archivo, %1.")
                                .arg(syserror::shownPath(csvPath)));
    // Both are checked before either is created, so a refusal leaves nothing behind.
    for (const QByteArray &path : {csvPath, rawPath}) {
        struct stat st {};
        if (!path.isEmpty() && ::lstat(path.constData(), &st) == 0)
            throw PlatformError(QStringLiteral("No se graba: el archivo %1 ya existe y no se sobrescribe. Elija otro nombre.")
                                    .arg(syserror::shownPath(path)));
    }
    for (const QByteArray &path : {givenCsv, givenRaw})
        if (const QByteArray earlier = parts && !path.isEmpty() ? Rotation::existingPart(path) : QByteArray(); !earlier.isEmpty())
            throw PlatformError(QStringLiteral("No se graba: ya hay partes de otra grabación con ese nombre (%1) y no se "
                                               "sobrescriben. Elija otro nombre.")
                                    .arg(syserror::shownPath(earlier)));
    if (!csvPath.isEmpty())
        m_csv = std::make_unique<RecordingFile>(csvPath);
    if (!rawPath.isEmpty()) {
        try {
            m_raw = std::make_unique<RecordingFile>(rawPath);
        } catch (const PlatformError &) {
            discardFiles();
            throw;
        }
    }
    m_flushTimer.setInterval(1000);
    connect(&m_flushTimer, &QTimer::timeout, this, [this] { flush(); });
    m_flushTimer.start();
}

Recorder::~Recorder()
{
    finish();
}

void Recorder::attach(Acquisition &acquisition)
{
    // The recording starts with the bytes of the next sample: a half sample already read and
    // every byte that waits to be decoded.
    const StreamPoint at = acquisition.streamPoint();
    m_rawStart = at.nextSample;
    m_lastSampleEnd = m_rawStart;
    m_receivedEnd = at.received;
    m_rawPartStart = m_rawStart;
    if (m_raw) {
        m_tailPosition = m_rawStart;
        m_tailFileOffset = 0;
        acquisition.copyUndecoded(m_raw->buffer());
    }
    const qint64 origin = acquisition.clockNanos();
    QPointer<Acquisition> from(&acquisition);
    const PortStatus port = acquisition.status();
    m_settings = port.settings;
    if (!port.open && acquisition.waiting() == 0) {
        // Started before the port opened: the run starts when it opens.
        connect(&acquisition, &Acquisition::opened, this, [this, from] {
            if (m_originFixed || !from)
                return;
            m_origin = from->status().openedNanos; // the same instant for anyone else who asks
            m_start = wallclock::fromUnixNanos(from->unixNanos(m_origin));
            m_startMicros = int(from->unixNanos(m_origin) / 1000 % 1000);
            m_originFixed = true;
        });
    }
    m_firstIndex = at.nextIndex;
    attach(acquisition.decoder(), acquisition.unixNanos(origin), origin, [from] {
        RecordingHeader h;
        if (from) {
            const PortStatus now = from->status();
            h.device = QStringLiteral("%1 (COM%2)").arg(now.device).arg(now.port);
            h.settings = now.settings;
        }
        return h;
    });
}


void Recorder::attach(SampleSource &source, qint64 startUnixNanos, qint64 originNanos, std::function<RecordingHeader()> header)
{
    m_start = wallclock::fromUnixNanos(startUnixNanos);
    m_startMicros = int(startUnixNanos / 1000 % 1000);
    m_origin = originNanos;
    m_header = std::move(header);
    if (m_settings.isEmpty() && m_header)
        m_settings = m_header().settings;
    source.addConsumer(this);
}

void Recorder::restart(qint64 startUnixNanos, qint64 originNanos)
{
    if (m_originFixed)
        return;
    m_start = wallclock::fromUnixNanos(startUnixNanos);
    m_startMicros = int(startUnixNanos / 1000 % 1000);
    m_origin = originNanos;
    if (m_header)
        m_settings = m_header().settings;
}

void Recorder::writeHeader()
{
    m_headerWritten = true;
    const RecordingHeader h = m_header ? m_header() : RecordingHeader{};
    QByteArray &b = m_csv->buffer();
    b += commentLine(QStringLiteral("dispvanto " DISPVANTO_VERSION));
    b += commentLine(QStringLiteral("inicio: %1").arg(isoWithZone(m_start, m_startMicros)));
    if (!h.device.isEmpty())
        b += commentLine(QStringLiteral("dispositivo: %1").arg(h.device));
    if (!m_settings.isEmpty())
        b += commentLine(QStringLiteral("configuración: %1").arg(m_settings));
    for (const QString &line : h.more)
        b += commentLine(line);
    if (m_rotation.enabled())
        b += commentLine(QStringLiteral("parte: %1").arg(m_part));
    b += commentLine(QStringLiteral("tiempo_s: segundos desde el inicio, a la llegada del bloque que completó la muestra"));
    b += csvColumns();
}

void Recorder::sample(const Sample &s)
{
    if (m_limitReached)
        return;
    // Rows are numbered by the source's own count from where the recording started: samples
    // that never came (a remote bench's gap) leave their numbers out, so the rest keep theirs.
    m_originFixed = true;
    const quint64 number = s.index - m_firstIndex;
    if (m_limit && number >= m_limit) {
        reachLimit(m_lastSampleEnd); // the limit fell in a gap
        return;
    }
    if (m_rotation.enabled())
        checkRotation(s);
    m_lastSampleEnd = s.streamEnd;
    m_lastNumber = number;
    ++m_samples;
    if (m_csv && m_csv->isOpen()) {
        if (!m_headerWritten)
            writeHeader();
        // number,seconds with microseconds,value: at most 20 + 1 + 21 + 7 + 1 + 5 + 2 characters
        char line[128];
        char *p = line;
        char *const end = line + 64; // room left after it for the fixed parts
        p = std::to_chars(p, end, number).ptr;
        *p++ = ',';
        // Samples that waited from before the start arrived before it: their time is negative.
        qint64 micros = (s.arrivalNanos - m_origin) / 1000;
        if (micros < 0) {
            *p++ = '-';
            micros = -micros;
        }
        p = std::to_chars(p, end, micros / 1000000).ptr;
        *p++ = '.';
        const qint64 frac = micros % 1000000;
        for (qint64 d = 100000; d > 0; d /= 10)
            *p++ = char('0' + (frac / d) % 10);
        *p++ = ',';
        p = std::to_chars(p, end, s.value).ptr;
        *p++ = '\r';
        *p++ = '\n';
        m_csv->buffer().append(line, p - line);
        ++m_rowsBuffered;
        if (m_csv->buffer().size() >= kFlushBytes)
            flushFile(*m_csv);
    }
    if (m_rotation.bytes)
        m_partFull = partBytes(s) >= m_rotation.bytes;
    if (m_limit && number + 1 == m_limit)
        reachLimit(s.streamEnd);
}

void Recorder::reachLimit(qint64 position)
{
    m_limitReached = true;
    endRawAt(position);
    flush();
    detach(); // nothing more to take
    emit limitReached();
}

void Recorder::event(const StreamEvent &e)
{
    if (e.kind == StreamEvent::Kind::SettingsChanged) {
        m_settings = e.settings;
        if (!m_headerWritten)
            return; // the header tells the settings in force at the first sample
    }
    comment(e.when, e.text());
}

void Recorder::comment(const QDateTime &when, const QString &what)
{
    if (!m_csv || !m_csv->isOpen())
        return;
    if (!m_headerWritten)
        writeHeader();
    const QString where = m_samples == 0 ? QStringLiteral("antes de la primera muestra")
                                         : QStringLiteral("tras la muestra %1").arg(m_lastNumber);
    m_csv->buffer() += commentLine(QStringLiteral("%1 (%2): %3").arg(isoWithZone(when), where, what));
}

void Recorder::bytesReceived(const char *data, qsizetype size, qint64 position)
{
    m_receivedEnd = qMax(m_receivedEnd, position + size);
    if (!m_raw || !m_raw->isOpen())
        return;
    const qsizetype take = m_rawEnd < 0 ? size : qsizetype(qBound<qint64>(0, m_rawEnd - position, size));
    if (m_tailPosition < 0 || position != m_tailPosition + (m_raw->size() - m_tailFileOffset)) {
        m_tailPosition = position; // a remote bench's gap, or the first bytes of a part
        m_tailFileOffset = m_raw->size();
    }
    m_raw->buffer().append(data, take);
    if (m_raw->buffer().size() >= kFlushBytes)
        flushFile(*m_raw);
}

void Recorder::endRawAt(qint64 position)
{
    // The raw file ends with the last byte of the last sample recorded.
    // (A remote bench's gap leaves its positions out of the file: the cut is found by position.)
    m_rawEnd = position;
    if (!m_raw)
        return;
    const qint64 at = rawOffsetOf(position);
    if (at >= 0)
        m_raw->truncate(at);
    else if (m_tailPosition >= 0 && position < m_tailPosition)
        m_raw->truncate(m_tailFileOffset); // the limit fell before a gap: nothing after it
    else if (m_tailPosition < 0)
        m_raw->truncate(qMax<qint64>(0, position - m_rawPartStart));
}

bool Recorder::flushFile(RecordingFile &file)
{
    if (!file.isOpen())
        return !file.failed();
    const bool csv = &file == m_csv.get();
    if (file.flush(csv, [&](QByteArrayView kept) { m_rowsWritten += csv ? rowsIn(kept) : 0; })) {
        if (csv) {
            m_rowsWritten += m_rowsBuffered;
            m_rowsBuffered = 0;
        }
        return true;
    }
    reportFailure(file);
    return false;
}

void Recorder::reportFailure(const RecordingFile &file)
{
    const bool csv = &file == m_csv.get();
    if (csv)
        m_rowsBuffered = 0;
    const RecordingFile *other = csv ? m_raw.get() : m_csv.get();
    QString message = QStringLiteral("Se detuvo la grabación en %1: no se pudo escribir (%2). Lo escrito hasta ahora se "
                                     "conserva: %3.")
                          .arg(file.shownPath(), file.reason(),
                               csv ? QStringLiteral("%1 filas de muestras").arg(m_rowsWritten)
                                   : QStringLiteral("%1 bytes").arg(file.written()));
    if (other && other->isOpen() && !m_finishing)
        message += QStringLiteral(" La grabación sigue en %1.").arg(other->shownPath());
    emit failed(message);
    if (!isRecording()) {
        detach();
        emit stopped();
    }
}

bool Recorder::flush()
{
    bool ok = true;
    for (RecordingFile *file : {m_csv.get(), m_raw.get()})
        if (file)
            ok = flushFile(*file) && ok;
    return ok;
}

void Recorder::tellWhatWasLeft()
{
    // Bytes that came after the last sample recorded were not decoded (reception stopped, or
    // behind), or are half a sample: the CSV says so rather than pass for all that came.
    const qint64 left = m_receivedEnd - m_lastSampleEnd;
    if (left <= 0 || m_limitReached)
        return;
    const QString where = m_raw && m_raw->isOpen() ? QStringLiteral(" Están en el archivo crudo.") : QString();
    comment(QDateTime::currentDateTime(),
            left == 1 ? QStringLiteral("la grabación terminó con 1 byte recibido tras la última muestra: media muestra "
                                       "sin su pareja.") + where
                      : QStringLiteral("la grabación terminó con %1 bytes recibidos tras la última muestra y aún sin "
                                       "decodificar (la recepción estaba detenida o iba por detrás); no están en este "
                                       "archivo.").arg(left) + where);
}

bool Recorder::finish()
{
    m_flushTimer.stop();
    if (m_finishing)
        return !failedToWrite();
    m_finishing = true;
    if (m_csv && m_csv->isOpen()) {
        if (!m_headerWritten)
            writeHeader(); // a run without samples still says what it was
        tellWhatWasLeft();
    }
    for (RecordingFile *file : {m_csv.get(), m_raw.get()}) {
        if (!file || !flushFile(*file) || !file->isOpen())
            continue;
        if (!file->close(file == m_csv.get()))
            reportFailure(*file);
    }
    detach();
    return !failedToWrite();
}

void Recorder::discardFiles()
{
    m_flushTimer.stop();
    detach();
    for (auto *file : {&m_csv, &m_raw}) {
        if (*file)
            (*file)->remove();
        file->reset();
    }
}

bool Recorder::isRecording() const
{
    return (m_csv && m_csv->isOpen()) || (m_raw && m_raw->isOpen());
}

bool Recorder::failedToWrite() const
{
    return m_partRefused || (m_csv && m_csv->failed()) || (m_raw && m_raw->failed());
}

quint64 Recorder::csvRows() const
{
    return m_rowsWritten + (m_csv && m_csv->isOpen() ? m_rowsBuffered : 0);
}
