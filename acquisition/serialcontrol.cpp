#include "serialcontrol.h"

#include "platformerror.h"

#include <QElapsedTimer>
#include <array>

namespace {

// A batch of notifications ends after this many bytes (fewer than 1000 samples, the ring's
// size) or this much time, whichever comes first, so that timer ticks and clicks interleave
// with a flood.
constexpr int kBatchBytes = 1998;
constexpr qint64 kBatchNanos = 5'000'000;

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
    m_delivery.setSingleShot(true);
    m_delivery.setInterval(0);
    connect(&m_delivery, &QTimer::timeout, this, &SerialControl::deliver);
    connect(&m_port, &QSerialPort::readyRead, this, [this] {
        receive();
        // New bytes arrive between handlers, so they can be delivered at once: one turn of the
        // event loop per block instead of two.
        if (m_delivery.isActive()) {
            m_delivery.stop();
            deliver();
        }
    });
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialControl::onError);
    applyLineSettings(*parseLineSettings(m_settings));
    m_port.setFlowControl(QSerialPort::NoFlowControl);
}

SerialControl::~SerialControl() = default;

QString SerialControl::device(int port) const
{
    if (const auto it = m_devices.find(port); it != m_devices.end())
        return *it;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

void SerialControl::setDevice(int port, const QString &path)
{
    m_devices.insert(port, path);
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
    QString why;
    const auto parsed = parseLineSettings(settings, &why);
    if (!parsed)
        throw PlatformError(QStringLiteral("Configuración del puerto rechazada: %1.").arg(why));
    if (PortOpen()) {
        const LineSettings previous = *parseLineSettings(m_settings);
        try {
            applyLineSettings(*parsed);
        } catch (const PlatformError &) {
            try {
                applyLineSettings(previous);
            } catch (const PlatformError &) {
                // The previous settings were in force a moment ago; nothing better to do.
            }
            throw;
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
        const QString reason = m_port.errorString();
        m_port.clearError();
        throw PlatformError(QStringLiteral("El sistema rechazó la configuración del puerto %1: %2.")
                                .arg(portName(), reason));
    }
}

void SerialControl::setPortOpen(bool open)
{
    if (open == PortOpen())
        return;
    if (!open) {
        m_port.close();
        return;
    }
    m_port.setPortName(device(m_commPort));
    if (!m_port.open(QIODevice::ReadWrite)) {
        QString reason = m_port.errorString();
        if (m_port.error() == QSerialPort::PermissionError)
            reason = QStringLiteral("está en uso por otro programa o no hay permiso para usarlo (%1)").arg(reason);
        else if (m_port.error() == QSerialPort::DeviceNotFoundError)
            reason = QStringLiteral("el dispositivo no existe (%1)").arg(reason);
        m_port.clearError();
        throw PlatformError(QStringLiteral("No se pudo abrir el puerto %1: %2.").arg(portName(), reason));
    }
    if (m_everOpened)
        m_restarts.push_back(m_received);
    m_everOpened = true;
    m_stalled = false;
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
    if (n == 1) {
        const auto byte = static_cast<quint8>(m_chunks.front().at(m_chunkPos));
        advance(1);
        return QByteArray::fromRawData(&kByteValues[byte], 1);
    }
    QByteArray out;
    out.reserve(n);
    while (out.size() < n) {
        const QByteArray &front = m_chunks.front();
        const qsizetype take = qMin(n - out.size(), front.size() - m_chunkPos);
        out.append(front.constData() + m_chunkPos, take);
        advance(take);
    }
    return out;
}

void SerialControl::advance(qsizetype n)
{
    m_chunkPos += n;
    m_consumed += n;
    if (m_chunkPos == m_chunks.front().size()) {
        m_chunks.pop_front();
        m_chunkPos = 0;
    }
}

void SerialControl::receive()
{
    const qint64 available = m_port.bytesAvailable();
    if (available <= 0)
        return;
    QByteArray block = m_port.read(available); // exactly sized: a backlog costs no more than its bytes
    if (block.isEmpty())
        return;
    m_received += block.size();
    m_chunks.push_back(std::move(block));
    m_stalled = false;
    scheduleDelivery();
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
        if (!m_restarts.empty() && m_consumed >= m_restarts.front()) {
            m_restarts.pop_front();
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
    const QString reason = m_port.errorString();
    // Keep whatever the device still had for us, then close: QSerialPort would otherwise keep
    // signalling the same error in a loop.
    receive();
    m_port.close();
    m_port.clearError();
    emit failed(QStringLiteral("Se perdió el puerto %1: %2. El puerto quedó cerrado; "
                               "los datos ya recibidos se conservan.")
                    .arg(portName(), reason));
}
