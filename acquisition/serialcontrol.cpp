#include "serialcontrol.h"

#include "platformerror.h"
#include "syserror.h"

#include <QElapsedTimer>
#include <QFile>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A batch of notifications ends after this many bytes (fewer than 1000 samples, the ring's
// size) or this much time, whichever comes first, so that timer ticks and clicks interleave
// with a flood.
constexpr int kBatchBytes = 1998;
constexpr qint64 kBatchNanos = 5'000'000;
// A fast adapter (or a pseudo-terminal) hands over a few hundred bytes at a time, thousands of
// times a second, and a wake-up for each costs more than all the decoding. A block smaller
// than kGatherBelow that comes less than kGatherGapNanos after the one before waits kGatherMs,
// so that the next read takes everything that came meanwhile. Blocks a millisecond apart or
// more (a board sending a sample a millisecond) are taken at once; a frame is 16 ms.
constexpr qint64 kGatherBelow = 1024;
constexpr qint64 kGatherGapNanos = 500'000;
constexpr int kGatherMs = 1;

// Every byte value once: a one-byte block handed out refers to its entry here, so the
// per-byte path neither allocates nor touches a reference count.
constexpr std::array<char, 256> kByteValues = [] {
    std::array<char, 256> b{};
    for (int i = 0; i < 256; ++i)
        b[i] = static_cast<char>(i);
    return b;
}();

bool isValidUtf8(const QByteArray &bytes)
{
    return QFile::encodeName(QFile::decodeName(bytes)) == bytes;
}

} // namespace

SerialControl::SerialControl(QObject *parent) : QObject(parent)
{
    m_delivery.setSingleShot(true);
    m_delivery.setInterval(0);
    connect(&m_delivery, &QTimer::timeout, this, &SerialControl::deliver);
    m_gather.setSingleShot(true);
    m_gather.setTimerType(Qt::PreciseTimer);
    connect(&m_gather, &QTimer::timeout, this, [this] {
        m_port.setReadBufferSize(0);
        takeArrived();
    });
    connect(&m_port, &QSerialPort::readyRead, this, [this] {
        if (m_gather.isActive())
            return; // taken when the gathering ends
        const qint64 waiting = m_port.bytesAvailable();
        const qint64 gap = m_lastArrival.isValid() ? m_lastArrival.nsecsElapsed() : kGatherGapNanos;
        m_lastArrival.start();
        if (waiting > 0 && waiting < kGatherBelow && gap < kGatherGapNanos) {
            // A full read buffer stops the port from reading, and waking us, until then.
            m_port.setReadBufferSize(waiting);
            m_gather.start(kGatherMs);
            return;
        }
        takeArrived();
    });
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialControl::onError);
    m_reconnectTimer.setInterval(250);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &SerialControl::tryReconnect);
    applyLineSettings(*parseLineSettings(m_settings));
    m_port.setFlowControl(QSerialPort::NoFlowControl);
}

SerialControl::~SerialControl() = default;

void SerialControl::takeArrived()
{
    receive();
    // New bytes arrive between handlers, so they can be delivered at once: one turn of the
    // event loop per block instead of two.
    if (m_delivery.isActive()) {
        m_delivery.stop();
        deliver();
    }
}

QByteArray SerialControl::nativeDevice(int port) const
{
    if (const auto it = m_devices.find(port); it != m_devices.end())
        return *it;
#ifdef Q_OS_WIN
    return "COM" + QByteArray::number(port);
#else
    return "/dev/ttyS" + QByteArray::number(port - 1);
#endif
}

void SerialControl::setNativeDevice(int port, const QByteArray &path)
{
    m_devices.insert(port, path);
}

QString SerialControl::device(int port) const
{
    return syserror::shownPath(nativeDevice(port));
}

void SerialControl::setDevice(int port, const QString &path)
{
    setNativeDevice(port, QFile::encodeName(path));
}

QString SerialControl::portName() const
{
    return QStringLiteral("COM%1 (%2)").arg(m_commPort).arg(device(m_commPort));
}

void SerialControl::setCommPort(qint16 port)
{
    if (port < 1 || port > 255)
        throw PlatformError(QStringLiteral("Número de puerto %1 no válido: debe estar entre 1 y 255.").arg(port));
    if (PortOpen() && port != m_commPort)
        throw PlatformError(QStringLiteral("No se puede cambiar a COM%1 mientras %2 está abierto.")
                                .arg(port)
                                .arg(portName()));
    m_commPort = port;
}

void SerialControl::setSettings(const QString &settings)
{
    // Every refusal says what stays in force, so nobody takes the refused settings for the real ones.
    const QString kept = PortOpen() ? QStringLiteral(" El puerto %1 sigue abierto con %2.").arg(portName(), m_settings)
                                    : QStringLiteral(" Se mantiene la configuración anterior, %1.").arg(m_settings);
    QString why;
    const auto parsed = parseLineSettings(settings, &why);
    if (!parsed)
        throw PlatformError(QStringLiteral("Configuración del puerto rechazada: %1.").arg(why) + kept);
    if (PortOpen()) {
        const LineSettings previous = *parseLineSettings(m_settings);
        try {
            applyLineSettings(*parsed);
        } catch (const PlatformError &e) {
            try {
                applyLineSettings(previous);
            } catch (const PlatformError &) {
                // The previous settings were in force a moment ago; nothing better to do.
            }
            throw PlatformError(QStringLiteral("Configuración «%1» rechazada: %2").arg(settings, e.message()) + kept);
        }
    } else {
        applyLineSettings(*parsed);
    }
    m_settings = settings;
}

void SerialControl::applyLineSettings(const LineSettings &s)
{
    // On a closed port these only store the values; QSerialPort applies them at open.
    const bool ok = m_port.setBaudRate(s.baud) && m_port.setDataBits(s.dataBits)
                    && m_port.setParity(s.parity) && m_port.setStopBits(s.stopBits);
    if (!ok) {
        const QString reason = m_port.error() == QSerialPort::UnsupportedOperationError
                                   ? QStringLiteral("el dispositivo no la admite")
                                   : QStringLiteral("el sistema no la aceptó (%1)").arg(m_port.errorString());
        m_port.clearError();
        throw PlatformError(QStringLiteral("%1 en %2.").arg(reason, portName()));
    }
}

void SerialControl::setPortOpen(bool open)
{
    if (open == PortOpen())
        return;
    if (!open) {
        m_reconnectTimer.stop();
        // Bytes being gathered are the user's too: closing would drop them.
        m_gather.stop();
        receive();
        m_port.close();
        m_port.setReadBufferSize(0);
        emit portOpenChanged(false);
        return;
    }
    const QByteArray path = nativeDevice(m_commPort);
    if (const QString why = whyOpenFailed(path); !why.isEmpty())
        throw PlatformError(QStringLiteral("No se pudo abrir el puerto %1: %2.").arg(portName(), why));
    m_port.setPortName(openableName(path));
    m_port.setReadBufferSize(0);
    if (!m_port.open(QIODevice::ReadWrite)) {
        QString reason;
        switch (m_port.error()) {
        case QSerialPort::PermissionError:
            // Access was checked above: what is left is a lock or exclusive use by someone else.
            reason = QStringLiteral("está en uso por otro programa");
            break;
        case QSerialPort::DeviceNotFoundError:
            reason = QStringLiteral("el dispositivo no existe");
            break;
        default: {
            const int fd = ::open(path.constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            const bool tty = fd >= 0 && ::isatty(fd);
            if (fd >= 0)
                ::close(fd);
            reason = fd >= 0 && !tty ? QStringLiteral("no es un puerto serie")
                                     : QStringLiteral("el sistema no lo permitió (%1)").arg(m_port.errorString());
        }
        }
        m_port.clearError();
        throw PlatformError(QStringLiteral("No se pudo abrir el puerto %1: %2.").arg(portName(), reason));
    }
    if (m_everOpened)
        m_breaks.push_back({m_received, 0});
    else
        m_sinceOpen.start();
    m_everOpened = true;
    m_reconnectTimer.stop();
    m_stalled = false;
    emit portOpenChanged(true);
    receive();
}

QString SerialControl::whyOpenFailed(const QByteArray &path) const
{
#ifdef Q_OS_UNIX
    if (path.isEmpty())
        return QStringLiteral("no se indicó ningún dispositivo");
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return errno == ENOENT ? QStringLiteral("el dispositivo no existe") : syserror::reason(errno);
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

QString SerialControl::openableName(const QByteArray &path)
{
    if (isValidUtf8(path))
        return QFile::decodeName(path);
    if (!m_aliases)
        m_aliases = std::make_unique<QTemporaryDir>();
    const QString alias = m_aliases->filePath(QStringLiteral("COM%1").arg(m_commPort));
    const QByteArray nativeAlias = QFile::encodeName(alias);
    ::unlink(nativeAlias.constData());
    if (::symlink(path.constData(), nativeAlias.constData()) != 0)
        return QFile::decodeName(path);
    return alias;
}

void SerialControl::setRThreshold(qint16 threshold)
{
    if (threshold < 0)
        throw PlatformError(QStringLiteral("Umbral de recepción %1 no válido.").arg(threshold));
    m_threshold = threshold;
    m_stalled = false;
    scheduleDelivery();
}

void SerialControl::refuseInputMode(qint32 mode)
{
    throw PlatformError(QStringLiteral("Modo de entrada %1 no válido.").arg(mode));
}

void SerialControl::refuseInputLen(qint16 len)
{
    throw PlatformError(QStringLiteral("Longitud de entrada %1 no válida.").arg(len));
}

QByteArray SerialControl::Input()
{
    const qsizetype waiting = InBufferCount();
    const qsizetype n = m_inputLen == 0 ? waiting : qMin<qsizetype>(m_inputLen, waiting);
    if (n == 0)
        return {};
    m_consumed += n;
    if (n == 1) {
        const quint8 byte = m_waiting.front();
        m_waiting.pop();
        return QByteArray::fromRawData(&kByteValues[byte], 1);
    }
    QByteArray out(n, Qt::Uninitialized);
    m_waiting.take(out.data(), n);
    return out;
}

void SerialControl::receive()
{
    qint64 got = 0;
    while (m_port.bytesAvailable() > 0) {
        qsizetype room = 0;
        char *to = m_waiting.room(&room);
        const qint64 n = m_port.read(to, room);
        if (n <= 0)
            break;
        if (m_rawTap)
            m_rawTap(to, n);
        m_waiting.commit(n);
        got += n;
    }
    if (got == 0)
        return;
    m_received += got;
    if (m_trackArrivals)
        m_arrivals.push_back({m_received, m_sinceOpen.isValid() ? m_sinceOpen.nsecsElapsed() : 0});
    if (m_waiting.size() > m_waitLimit)
        discardOldest();
    m_stalled = false;
    scheduleDelivery();
}

void SerialControl::discardOldest()
{
    // Drop down to the limit, ending where a sample starts, so that pairing after the gap is
    // as the board sent it. A break inside the dropped part moves where samples start.
    const bool breakAtFront = !m_breaks.empty() && m_breaks.front().position == m_consumed;
    // A half sample already read loses its other half: it is lost too.
    qint64 lost = !breakAtFront && ((m_consumed - m_pairBase) & 1) ? 1 : 0;
    qint64 base = m_pairBase;
    qint64 end = m_received - m_waitLimit;
    while (!m_breaks.empty() && m_breaks.front().position <= end) {
        base = m_breaks.front().position;
        lost += m_breaks.front().discarded; // one gap per episode: an undelivered one grows
        m_breaks.pop_front();
    }
    if ((end - base) & 1)
        ++end;
    lost += end - m_consumed;
    m_waiting.drop(qsizetype(end - m_consumed));
    m_consumed = end;
    m_breaks.push_front({end, lost});
}

void SerialControl::setTrackArrivals(bool on)
{
    m_trackArrivals = on;
    if (!on)
        m_arrivals.clear();
}

qint64 SerialControl::lastByteArrival()
{
    // Blocks wholly read are done with; the byte last read is at m_consumed - 1.
    while (m_arrivals.size() > 1 && m_arrivals.front().end < m_consumed)
        m_arrivals.pop_front();
    return m_arrivals.empty() ? 0 : m_arrivals.front().nanos;
}

void SerialControl::scheduleDelivery()
{
    if (m_threshold > 0 && InBufferCount() >= m_threshold && !m_stalled && !m_delivery.isActive())
        m_delivery.start();
}

void SerialControl::deliver()
{
    // Bytes already received are delivered even if the device has been lost since: they are
    // samples the user expects to see.
    QElapsedTimer clock;
    clock.start();
    const qint64 batchStart = m_consumed;
    int notifications = 0;
    while (m_threshold > 0 && InBufferCount() >= m_threshold) {
        const qint64 before = m_consumed;
        while (!m_breaks.empty() && m_consumed >= m_breaks.front().position) {
            const Break b = m_breaks.front();
            m_breaks.pop_front();
            m_pairBase = b.position;
            if (b.discarded > 0)
                emit bytesDiscarded(b.discarded);
            else
                emit streamRestarted();
        }
        m_commEvent = kEventReceive;
        if (m_onComm)
            m_onComm();
        if (m_consumed == before) {
            m_stalled = true;
            break;
        }
        if (m_consumed - batchStart >= kBatchBytes || ((++notifications & 255) == 0 && clock.nsecsElapsed() > kBatchNanos))
            break;
    }
    emit deliveryDone();
    scheduleDelivery();
}

void SerialControl::onError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
        return;
    if (!m_port.isOpen())
        return;
    // Keep whatever the device still had for us, then close: QSerialPort would otherwise keep
    // signalling the same error in a loop.
    m_gather.stop();
    receive();
    m_port.close();
    m_port.clearError();
    m_port.setReadBufferSize(0);
    emit portOpenChanged(false);
    if (m_reconnect)
        m_reconnectTimer.start();
    emit failed(QStringLiteral("Se perdió el puerto %1: el dispositivo dejó de responder o se desconectó. %2"
                               "Los datos ya recibidos se conservan.")
                    .arg(portName(), m_reconnect ? QStringLiteral("Se volverá a abrir solo en cuanto reaparezca. ")
                                                 : QStringLiteral("El puerto quedó cerrado. ")));
}

void SerialControl::tryReconnect()
{
    if (PortOpen()) {
        m_reconnectTimer.stop();
        return;
    }
    // Only a device that is there is tried; one that is there but not ready yet is tried again
    // at the next look, without a message each time.
    if (!whyOpenFailed(nativeDevice(m_commPort)).isEmpty())
        return;
    try {
        setPortOpen(true);
    } catch (const PlatformError &) {
    }
}
