#include "recorder.h"

#include "platformerror.h"
#include "serialcontrol.h"
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

QByteArray comment(const QString &text)
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

void Recorder::attach(SerialControl &comm, ReceiveDecoder &decoder)
{
    m_comm = &comm;
    if (m_csv.fd >= 0)
        decoder.setConsumer(this);
    if (m_raw.fd >= 0)
        comm.setRawTap([this](const char *data, qsizetype size) { raw(data, size); });
    // Settings chosen again while the port is open apply from the next block on.
    connect(&comm, &SerialControl::deliveryDone, this, [this] {
        if (m_headerWritten && !m_failed && m_comm->Settings() != m_settingsInHeader) {
            m_settingsInHeader = m_comm->Settings();
            event(QStringLiteral("configuración de la línea cambiada a %1").arg(m_settingsInHeader));
        }
    });
}

void Recorder::writeHeader()
{
    m_headerWritten = true;
    m_settingsInHeader = m_comm ? m_comm->Settings() : QString();
    QByteArray &b = m_csv.buffer;
    b += comment(QStringLiteral("dispvanto " DISPVANTO_VERSION));
    b += comment(QStringLiteral("inicio: %1").arg(QDateTime::currentDateTime().toOffsetFromUtc(
                                                   QDateTime::currentDateTime().offsetFromUtc()).toString(Qt::ISODateWithMs)));
    if (m_comm) {
        b += comment(QStringLiteral("dispositivo: %1 (COM%2)").arg(m_comm->device(m_comm->CommPort())).arg(m_comm->CommPort()));
        b += comment(QStringLiteral("configuración: %1").arg(m_settingsInHeader));
    }
    b += comment(QStringLiteral("tiempo_s: segundos desde que se abrió el puerto, a la llegada del bloque que completó la muestra"));
    b += csvColumns();
}

void Recorder::sample(quint16 value, qint64 arrivalNanos)
{
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
    const qint64 micros = arrivalNanos / 1000;
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
        emit limitReached();
    }
}

void Recorder::event(const QString &what)
{
    if (m_failed || m_csv.fd < 0)
        return;
    if (!m_headerWritten)
        writeHeader();
    const QString where = m_samples == 0 ? QStringLiteral("antes de la primera muestra")
                                         : QStringLiteral("tras la muestra %1").arg(m_samples - 1);
    m_csv.buffer += comment(QStringLiteral("%1 (%2): %3")
                                .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs), where, what));
}

void Recorder::raw(const char *data, qsizetype size)
{
    if (m_failed)
        return;
    m_raw.buffer.append(data, size);
    if (m_raw.buffer.size() >= kFlushBytes)
        flush();
}

bool Recorder::writeOut(Output &out, qint64 &written)
{
    const char *p = out.buffer.constData();
    qsizetype left = out.buffer.size();
    while (left > 0) {
        const ssize_t n = ::write(out.fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            // Keep whole lines only, so that what reached the file stays readable as CSV.
            if (&out == &m_csv) {
                const qsizetype done = p - out.buffer.constData();
                const qsizetype keep = done > 0 ? out.buffer.lastIndexOf('\n', done - 1) + 1 : 0;
                if (::ftruncate(out.fd, written - (done - keep)) == 0)
                    written -= done - keep;
            }
            fail(out, err);
            return false;
        }
        p += n;
        left -= n;
        written += n;
    }
    out.buffer.clear();
    return true;
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
    if (m_comm)
        m_comm->setRawTap({});
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
