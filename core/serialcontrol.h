#pragma once

#include "devicenames.h"
#include "serialsettingsstring.h"
#include "settingsrefused.h"
#include "tellonce.h"
#include "waitingbacklog.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QSerialPort>
#include <QTimer>
#include <functional>

/// The serial port control: a port number, a settings string, an open state and a receive
/// threshold. While the threshold is 1 it notifies its OnComm handler once per waiting byte,
/// each answered by the handler reading that byte through Input. Received bytes wait in the
/// backlog, in order, while the threshold is 0. Every refused operation throws PlatformError
/// and leaves the control as it was.
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
    /// Names the device behind COMn; a relative path is taken from the working folder now.
    void setDevice(int port, const QString &path);
    /// The same, as the system names files (bytes that need not be valid UTF-8).
    QByteArray nativeDevice(int port) const;
    void setNativeDevice(int port, const QByteArray &path);

    /// After a lost device, watch its path and reopen it, with the same settings, as soon as a
    /// device is there again. The threshold stays as it was.
    void setReconnect(bool on) { m_reconnect = on; }

    WaitingBacklog &backlog() { return m_backlog; }
    qsizetype waitLimit() const { return m_backlog.limit(); }
    void setWaitLimit(qsizetype bytes) { m_backlog.setLimit(bytes); }
    /// Nanoseconds since the control was made, on the monotonic clock that times arrivals.
    qint64 clockNanos() const { return m_clock.nsecsElapsed(); }
    /// When the port was last opened, on that clock (-1: never).
    qint64 openedNanos() const { return m_openedNanos; }
    /// When the block holding the byte last read through Input arrived, on that clock.
    qint64 lastByteArrival() { return m_backlog.lastArrival(); }
    /// Every block as the port delivers it, with its stream position, before anything else.
    void setRawTap(std::function<void(const char *, qsizetype, qint64)> tap) { m_rawTap = std::move(tap); }
    /// What happened in the stream, called at its place: before the byte that follows it.
    void setOnMark(std::function<void(const StreamEvent &)> handler) { m_onMark = std::move(handler); }

    qint16 CommPort() const { return m_commPort; }
    void setCommPort(qint16 port);
    QString Settings() const { return m_settings; }
    void setSettings(const QString &settings);
    bool PortOpen() const { return m_port.isOpen(); }
    void setPortOpen(bool open);
    /// The device was lost (the port closed because of it) and has not been opened since.
    bool deviceLost() const { return m_deviceLost; }
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
    qsizetype InBufferCount() const { return m_backlog.size(); }
    /// Bytes received since the control was made, waiting, read or discarded.
    qint64 bytesReceived() const { return m_backlog.received(); }

    /// Takes what the port still has and notifies every waiting byte now, whatever the
    /// threshold (for a clean end); the threshold is left as it was.
    void deliverEverything();

signals:
    /// A batch of notifications has been delivered; the event loop gets its turn next. A batch
    /// completes fewer than 1000 samples, so a reader here finds every new sample in the ring.
    void deliveryDone();
    /// The port was opened or closed (also when the device was lost).
    void portOpenChanged(bool open);
    /// Something failed outside any handler (a lost device, no memory), in Spanish.
    void failed(const QString &message);
    /// The device was lost: the port is already closed; failed() follows with the message.
    /// The one place a loss is recognised.
    void lost();
    /// Other line settings are in force.
    void settingsChanged(const QString &settings);

private:
    void receive();
    bool makeRoom();
    void outOfMemory();
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    void scheduleDelivery();
    void deliver();
    void takeArrived();
    void closePort();
    void openPort();
    void applyLineSettings(const LineSettings &s);
    void tryReconnect();
    [[noreturn]] static void refuseInputMode(qint32 mode);
    [[noreturn]] static void refuseInputLen(qint16 len);
    QString portName() const;

    QSerialPort m_port;
    QMap<int, QByteArray> m_devices;
    devicenames::OpenableNames m_names;
    qint16 m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    qint16 m_threshold = 0;
    qint32 m_inputMode = kInputModeText;
    qint16 m_inputLen = 0;
    qint16 m_commEvent = 0;
    WaitingBacklog m_backlog;
    bool m_everOpened = false;
    bool m_deviceLost = false;
    qint64 m_openedNanos = -1;
    bool m_stalled = false; // a handler answered without reading: wait for news
    TellOnce m_memoryTold;
    QTimer m_delivery;
    // Small blocks that come close together are gathered for a moment before they are taken.
    QTimer m_gather;
    QElapsedTimer m_lastArrival;
    QElapsedTimer m_clock;
    bool m_reconnect = false;
    QTimer m_reconnectTimer; // a few looks a second while the device is away
    QTimer m_retryRead;      // after memory ran out with nothing to give back
    std::function<void(const char *, qsizetype, qint64)> m_rawTap;
    std::function<void(const StreamEvent &)> m_onMark;
    std::function<void()> m_onComm;
};
