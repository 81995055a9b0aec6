#include "recorder.h"

#include "platformerror.h"
#include "acquisition.h"
#include "fileio.h"
#include "syserror.h"

#include <QDateTime>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

#ifndef DISPVANTO_VERSION
#define DISPVANTO_VERSION "0"
#endif

namespace {

// Buffers are written out when they reach this size, or by the timer.
constexpr qsizetype kFlushBytes = 1 << 20;

int createNew(const QByteArray &path)
{
    return ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

QByteArray commentLine(const QString &text)
{
    // One line per comment: a line end inside would start a row.
    QString line = text;
    line.replace(u'\r', u' ').replace(u'\n', u' ');
    return "# " + line.toUtf8() + "\r\n";
}

} // namespace

Recorder::Recorder(const QByteArray &csvPath, const QByteArray &rawPath, QObject *parent) : QObject(parent)
{
    // Both are checked before either is created, so a refusal leaves nothing behind.
    for (const QByteArray &path : {csvPath, rawPath})
        if (!path.isEmpty() && ::access(path.constData(), F_OK) == 0)
            throw PlatformError(QStringLiteral("No se graba: el archivo %1 ya existe y no se sobrescribe. Elija otro nombre.")
                                    .arg(syserror::shownPath(path)));
    for (Output *out : {&m_csv, &m_raw}) {
        out->path = out == &m_csv ? csvPath : rawPath;
        if (out->path.isEmpty())
            continue;
        out->fd = createNew(out->path);
        if (out->fd < 0) {
            const int err = errno;
            closeAll();
            throw PlatformError(QStringLiteral("No se graba: no se pudo crear %1 (%2).")
                                    .arg(syserror::shownPath(out->path), err == EEXIST ? QStringLiteral("ya existe") : syserror::reason(err)));
        }
        out->buffer.reserve(kFlushBytes + 4096);
    }
    m_flushTimer.setInterval(1000);
    connect(&m_flushTimer, &QTimer::timeout, this, [this] { flush(); });
    m_flushTimer.start();
}

Recorder::~Recorder()
{
    finish();
}

QString Recorder::csvPath() const { return syserror::shownPath(m_csv.path); }
QString Recorder::rawPath() const { return syserror::shownPath(m_raw.path); }

void Recorder::attach(Acquisition &acquisition)
{
    m_acquisition = &acquisition;
    m_origin = acquisition.clockNanos();
    m_start = acquisition.wallTime(m_origin);
    m_settings = acquisition.comm().Settings();
    acquisition.addConsumer(this);
}

void Recorder::writeHeader()
{
    m_headerWritten = true;
    QByteArray &b = m_csv.buffer;
    b += commentLine(QStringLiteral("dispvanto " DISPVANTO_VERSION));
    b += commentLine(QStringLiteral("inicio: %1").arg(m_start.toString(Qt::ISODateWithMs)));
    if (m_acquisition) {
        const SerialControl &comm = m_acquisition->comm();
        b += commentLine(QStringLiteral("dispositivo: %1 (COM%2)").arg(comm.device(comm.CommPort())).arg(comm.CommPort()));
        b += commentLine(QStringLiteral("configuración: %1").arg(m_settings));
    }
    b += commentLine(QStringLiteral("tiempo_s: segundos desde el inicio, a la llegada del bloque que completó la muestra"));
    b += csvColumns();
}

void Recorder::sample(const Sample &s)
{
    const quint16 value = s.value;
    const qint64 arrivalNanos = s.arrivalNanos - m_origin;
    if (m_failed || m_csv.fd < 0 || (m_limit && m_samples >= m_limit))
        return;
    if (!m_headerWritten)
        writeHeader();
    // number,seconds with microseconds,value
    char line[96];
    char *p = line;
    char *const end = line + sizeof line;
    p = std::to_chars(p, end, m_samples).ptr;
    *p++ = ',';
    // Samples that waited before the start arrived before it: their time is negative.
    qint64 micros = arrivalNanos / 1000;
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
    p = std::to_chars(p, end, value).ptr;
    *p++ = '\r';
    *p++ = '\n';
    m_csv.buffer.append(line, p - line);
    ++m_samples;
    if (m_csv.buffer.size() >= kFlushBytes)
        flush();
    if (m_limit && m_samples == m_limit) {
        flush();
        detach(); // nothing more to take
        emit limitReached();
    }
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
    if (m_failed || m_csv.fd < 0)
        return;
    if (!m_headerWritten)
        writeHeader();
    const QString where = m_samples == 0 ? QStringLiteral("antes de la primera muestra")
                                         : QStringLiteral("tras la muestra %1").arg(m_samples - 1);
    m_csv.buffer += commentLine(QStringLiteral("%1 (%2): %3")
                                    .arg(when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODateWithMs), where, what));
}

void Recorder::bytesReceived(const char *data, qsizetype size, qint64)
{
    if (m_failed || m_raw.fd < 0)
        return;
    m_raw.buffer.append(data, size);
    if (m_raw.buffer.size() >= kFlushBytes)
        flush();
}

bool Recorder::writeOut(Output &out, qint64 &written)
{
    size_t done = 0;
    const int err = fileio::writeAll(out.fd, out.buffer.constData(), size_t(out.buffer.size()), &done);
    written += qint64(done);
    if (err == 0) {
        out.buffer.clear();
        return true;
    }
    // Keep whole lines only, so that what reached the file stays readable as CSV.
    if (&out == &m_csv) {
        const qsizetype partial = qsizetype(done) - (done > 0 ? out.buffer.lastIndexOf('\n', qsizetype(done) - 1) + 1 : 0);
        if (::ftruncate(out.fd, written - partial) == 0)
            written -= partial;
    }
    fail(out, err);
    return false;
}

bool Recorder::flush()
{
    if (m_failed)
        return false;
    if (m_csv.fd >= 0 && !m_csv.buffer.isEmpty() && !writeOut(m_csv, m_csvWritten))
        return false;
    if (m_raw.fd >= 0 && !m_raw.buffer.isEmpty() && !writeOut(m_raw, m_rawWritten))
        return false;
    return true;
}

void Recorder::fail(const Output &out, int err)
{
    m_failed = true;
    const QString message = QStringLiteral("Se detuvo la grabación: no se pudo escribir en %1 (%2). "
                                           "Lo escrito hasta ahora se conserva; la recepción sigue.")
                                .arg(syserror::shownPath(out.path), syserror::reason(err));
    closeAll();
    emit failed(message);
}

void Recorder::closeAll()
{
    m_flushTimer.stop();
    for (Output *out : {&m_csv, &m_raw}) {
        if (out->fd >= 0)
            ::close(out->fd);
        out->fd = -1;
        out->buffer = QByteArray();
    }
    detach();
}

bool Recorder::finish()
{
    if (m_failed)
        return false;
    if (m_csv.fd >= 0 && !m_headerWritten)
        writeHeader(); // a run without samples still says what it was
    bool ok = flush();
    for (Output *out : {&m_csv, &m_raw})
        if (ok && out->fd >= 0 && ::fsync(out->fd) != 0 && errno != EINVAL) {
            fail(*out, errno);
            ok = false;
        }
    if (!m_failed)
        closeAll();
    return ok;
}
