#include "serialcontrol.h"

#include "platformerror.h"
#include "syserror.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <array>
#include <new>

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

} // namespace

SerialControl::SerialControl(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_delivery.setSingleShot(true);
    m_delivery.setInterval(0);
    connect(&m_delivery, &QTimer::timeout, this, &SerialControl::deliver);
    m_gather.setSingleShot(true);
    m_gather.setTimerType(Qt::PreciseTimer);
    connect(&m_gather, &QTimer::timeout, this, [this] {
        m_port.setReadBufferSize(0);
        takeArrived();
    });
    connect(&m_port, &QSerialPort::readyRead, this, &SerialControl::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialControl::onError);
    m_reconnectTimer.setInterval(250);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &SerialControl::tryReconnect);
    m_retryRead.setSingleShot(true);
    m_retryRead.setInterval(100);
    connect(&m_retryRead, &QTimer::timeout, this, &SerialControl::takeArrived);
    applyLineSettings(*parseLineSettings(m_settings));
    m_port.setFlowControl(QSerialPort::NoFlowControl);
}

SerialControl::~SerialControl() = default;

void SerialControl::onReadyRead()
{
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
}

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
    return devicenames::defaultDevice(port);
}

void SerialControl::setNativeDevice(int port, const QByteArray &path)
{
    m_devices.insert(port, devicenames::absolute(path, QFile::encodeName(QDir::currentPath())));
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
        throw SettingsRefused(QStringLiteral("Configuración del puerto rechazada: %1.").arg(why), kept);
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
            throw SettingsRefused(QStringLiteral("Configuración «%1» rechazada: %2").arg(settings, e.message()), kept);
        }
    } else {
        applyLineSettings(*parsed);
    }
    if (settings == m_settings)
        return;
    m_settings = settings;
    m_backlog.markSettings(settings, QDateTime::currentDateTime());
    scheduleDelivery();
    emit settingsChanged(settings);
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
    if (open) {
        openPort();
        return;
    }
    m_reconnectTimer.stop();
    closePort();
}

void SerialControl::closePort()
{
    // Bytes being gathered, or still in the port, are the user's too: closing would drop them.
    m_gather.stop();
    m_port.setReadBufferSize(0);
    receive();
    m_port.close();
    m_port.clearError();
    emit portOpenChanged(false);
}

void SerialControl::openPort()
{
    const QByteArray path = nativeDevice(m_commPort);
    if (const QString why = devicenames::whyCannotOpen(path); !why.isEmpty())
        throw PlatformError(QStringLiteral("No se pudo abrir el puerto %1: %2.").arg(portName(), why));
    m_port.setPortName(m_names.nameFor(path, m_commPort));
    m_port.setReadBufferSize(0);
    if (!m_port.open(QIODevice::ReadWrite)) {
        const QString reason = devicenames::whyOpenFailed(m_port.error(), path, m_port.errorString());
        m_port.clearError();
        throw PlatformError(QStringLiteral("No se pudo abrir el puerto %1: %2.").arg(portName(), reason));
    }
    if (m_everOpened)
        m_backlog.markReopened(QDateTime::currentDateTime());
    m_everOpened = true;
    m_deviceLost = false;
    m_openedNanos = m_clock.nsecsElapsed();
    m_reconnectTimer.stop();
    m_stalled = false;
    emit portOpenChanged(true);
    receive();
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
    if (n == 1)
        return QByteArray::fromRawData(&kByteValues[m_backlog.takeByte()], 1);
    QByteArray out(n, Qt::Uninitialized);
    m_backlog.take(out.data(), n);
    return out;
}

void SerialControl::receive()
{
    qint64 got = 0;
    while (m_port.bytesAvailable() > 0) {
        qsizetype room = 0;
        char *to = nullptr;
        try {
            to = m_backlog.room(&room);
        } catch (const std::bad_alloc &) {
            if (!makeRoom())
                break;
            continue;
        }
        const qint64 position = m_backlog.received();
        const qint64 n = m_port.read(to, room);
        if (n <= 0)
            break;
        if (m_rawTap)
            m_rawTap(to, n, position);
        m_backlog.commit(n, m_clock.nsecsElapsed());
        got += n;
    }
    if (got == 0)
        return;
    m_stalled = false;
    scheduleDelivery();
}

bool SerialControl::makeRoom()
{
    // No memory for the bytes that keep coming: the oldest waiting ones make room, as at the
    // waiting limit. With nothing left to give back, the port keeps them for a moment.
    outOfMemory();
    if (m_backlog.isEmpty()) {
        m_retryRead.start();
        return false;
    }
    m_backlog.discardDownTo(m_backlog.size() / 2);
    return true;
}

void SerialControl::outOfMemory()
{
    if (!m_memoryTold.first())
        return;
    emit failed(QStringLiteral("No queda memoria para los datos recibidos de %1: se descartan los más antiguos "
                               "que esperaban, para seguir recibiendo. Cada descarte se señala donde ocurrió.")
                    .arg(portName()));
}

void SerialControl::scheduleDelivery()
{
    if (m_threshold > 0 && !m_stalled && !m_delivery.isActive()
        && (InBufferCount() >= m_threshold || m_backlog.hasDueMark()))
        m_delivery.start();
}

void SerialControl::deliver()
{
    // Bytes already received are delivered even if the device has been lost since: they are
    // samples the user expects to see.
    QElapsedTimer clock;
    clock.start();
    const qint64 batchStart = m_backlog.consumed();
    int notifications = 0;
    auto marks = [this] {
        while (const auto mark = m_backlog.takeDueMark())
            if (m_onMark)
                m_onMark(*mark);
    };
    while (m_threshold > 0 && InBufferCount() >= m_threshold) {
        const qint64 before = m_backlog.consumed();
        marks();
        m_commEvent = kEventReceive;
        if (m_onComm)
            m_onComm();
        if (m_backlog.consumed() == before) {
            m_stalled = true;
            break;
        }
        if (m_backlog.consumed() - batchStart >= kBatchBytes
            || ((++notifications & 255) == 0 && clock.nsecsElapsed() > kBatchNanos))
            break;
    }
    // What happened after the last byte so far is told now, not when the next byte comes.
    if (m_threshold > 0 && !m_stalled)
        marks();
    m_backlog.pruneArrivals();
    emit deliveryDone();
    scheduleDelivery();
}

void SerialControl::deliverEverything()
{
    if (PortOpen()) {
        m_gather.stop();
        m_port.setReadBufferSize(0);
        receive();
    }
    const qint16 threshold = m_threshold;
    m_threshold = 1;
    m_stalled = false;
    while ((InBufferCount() > 0 || m_backlog.hasDueMark()) && !m_stalled)
        deliver();
    m_threshold = threshold;
    m_delivery.stop();
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
    m_deviceLost = true;
    closePort();
    m_backlog.markLost(QDateTime::currentDateTime());
    scheduleDelivery();
    if (m_reconnect)
        m_reconnectTimer.start();
    emit lost();
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
    if (!devicenames::whyCannotOpen(nativeDevice(m_commPort)).isEmpty())
        return;
    try {
        setPortOpen(true);
    } catch (const PlatformError &) {
    }
}
