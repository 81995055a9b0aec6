#pragma once

#include "serialsettingsstring.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QSerialPort>
#include <QTimer>
#include <deque>
#include <functional>

/// The serial port control the windows talk to: a port number, a settings string, an open
/// state and a receive threshold. While the threshold is 1 it notifies its OnComm handler once
/// per waiting byte, each answered by the handler reading that byte through Input. Bytes are never dropped
/// on our side: with the threshold at 0 they wait, in order, without limit.
/// Every refused operation throws PlatformError and leaves the control as it was.
class SerialControl : public QObject
{
    Q_OBJECT
public:
    static constexpr qint16 kEventReceive = 2;
    static constexpr qint32 kInputModeText = 0;
    static constexpr qint32 kInputModeBinary = 1;

    explicit SerialControl(QObject *parent = nullptr);
    ~SerialControl() override;

    /// The device behind COMn; by default /dev/ttyS(n-1) on Linux, COMn on Windows.
    QString device(int port) const;
    void setDevice(int port, const QString &path);

    qint16 CommPort() const { return m_commPort; }
    void setCommPort(qint16 port);
    QString Settings() const { return m_settings; }
    void setSettings(const QString &settings);
    bool PortOpen() const { return m_port.isOpen(); }
    void setPortOpen(bool open);
    qint16 RThreshold() const { return m_threshold; }
    void setRThreshold(qint16 threshold);
    qint32 InputMode() const { return m_inputMode; }
    void setInputMode(qint32 mode)
    {
        if (mode != kInputModeText && mode != kInputModeBinary)
            refuseInputMode(mode);
        m_inputMode = mode;
    }
    qint16 InputLen() const { return m_inputLen; }
    void setInputLen(qint16 len)
    {
        if (len < 0)
            refuseInputLen(len);
        m_inputLen = len;
    }
    /// Removes and returns up to InputLen waiting bytes (all of them when InputLen is 0).
    QByteArray Input();
    /// Kind of the notification being handled (2 = data received).
    qint16 CommEvent() const { return m_commEvent; }

    /// The OnComm handler: it answers each notification and is called directly, since at
    /// megabytes per second a signal-slot call per byte would cost more than the decoding.
    void setOnComm(std::function<void()> handler) { m_onComm = std::move(handler); }

    /// Bytes received and not yet read through Input.
    qsizetype InBufferCount() const { return qsizetype(m_received - m_consumed); }

signals:
    /// A batch of notifications has been delivered; the event loop gets its turn next. A batch
    /// completes fewer than 1000 samples, so a reader here finds every new sample in the ring.
    void deliveryDone();
    /// The next byte delivered is the first one read after the port was opened again (after a
    /// lost device): it starts a new stream, so a half-assembled sample before it is an orphan.
    void streamRestarted();
    /// Something failed outside any handler (a lost device); the port is already closed.
    void failed(const QString &message);

private:
    void receive();
    void onError(QSerialPort::SerialPortError error);
    void scheduleDelivery();
    void deliver();
    void applyLineSettings(const LineSettings &s);
    void advance(qsizetype n);
    [[noreturn]] static void refuseInputMode(qint32 mode);
    [[noreturn]] static void refuseInputLen(qint16 len);
    QString portName() const;

    QSerialPort m_port;
    QMap<int, QString> m_devices;
    qint16 m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    qint16 m_threshold = 0;
    qint32 m_inputMode = kInputModeText;
    qint16 m_inputLen = 0;
    qint16 m_commEvent = 0;
    // Received bytes not yet read, in the blocks they came in; reading never moves memory.
    std::deque<QByteArray> m_chunks;
    qsizetype m_chunkPos = 0; // read position in the first block
    qint64 m_received = 0;    // bytes received since start (a position in the stream)
    qint64 m_consumed = 0;    // bytes read through Input since start
    bool m_everOpened = false;
    std::deque<qint64> m_restarts; // stream positions where a reopened port's bytes begin
    bool m_stalled = false; // a handler answered without reading: wait for news
    QTimer m_delivery;
    std::function<void()> m_onComm;
};
