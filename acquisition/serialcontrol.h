#pragma once

#include "serialsettingsstring.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QSerialPort>
#include <QTimer>
#include <deque>

/// The serial port control the windows talk to: a port number, a settings string, an open
/// state and a receive threshold. While the threshold is 1 it raises OnComm once per waiting
/// byte, each answered by the handler reading that byte through Input. Bytes are never dropped
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
    void setInputMode(qint32 mode);
    qint16 InputLen() const { return m_inputLen; }
    void setInputLen(qint16 len);
    /// Removes and returns up to InputLen waiting bytes (all of them when InputLen is 0).
    QByteArray Input();
    /// Kind of the notification being handled (2 = data received).
    qint16 CommEvent() const { return m_commEvent; }

    /// Bytes received and not yet read through Input.
    qsizetype InBufferCount() const { return m_buffer.size() - m_readPos; }

signals:
    /// One notification; its kind is in CommEvent.
    void OnComm();
    /// A batch of notifications has been delivered; the event loop gets its turn next.
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
    QString portName() const;

    QSerialPort m_port;
    QMap<int, QString> m_devices;
    qint16 m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    qint16 m_threshold = 0;
    qint32 m_inputMode = kInputModeText;
    qint16 m_inputLen = 0;
    qint16 m_commEvent = 0;
    QByteArray m_buffer;    // received bytes; those before m_readPos have been read
    qsizetype m_readPos = 0;
    qint64 m_dropped = 0;   // bytes removed from the front of m_buffer so far
    bool m_everOpened = false;
    std::deque<qint64> m_restarts; // stream positions where a reopened port's bytes begin
    bool m_stalled = false; // a handler answered without reading: wait for news
    QTimer m_delivery;
};
