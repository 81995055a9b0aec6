#pragma once

#include "bytequeue.h"
#include "serialsettingsstring.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>

/// The serial port control the windows talk to: a port number, a settings string, an open
/// state and a receive threshold. While the threshold is 1 it notifies its OnComm handler once
/// per waiting byte, each answered by the handler reading that byte through Input. Bytes are never dropped
/// on our side while they fit: with the threshold at 0 they wait, in order, up to a limit; beyond it the
/// oldest waiting bytes are discarded in whole samples and the discard is announced where it happened.
/// Every refused operation throws PlatformError and leaves the control as it was.
class SerialControl : public QObject
{
    Q_OBJECT
public:
    static constexpr qint16 kEventReceive = 2;
    static constexpr qint32 kInputModeText = 0;
    static constexpr qint32 kInputModeBinary = 1;
    /// How many received bytes may wait to be read (while reception is off) before the oldest go.
    static constexpr qsizetype kDefaultWaitLimit = 64 * 1024 * 1024;

    explicit SerialControl(QObject *parent = nullptr);
    ~SerialControl() override;

    /// The device behind COMn; by default /dev/ttyS(n-1) on Linux, COMn on Windows.
    QString device(int port) const;
    void setDevice(int port, const QString &path);
    /// The same, as the system names files (bytes that need not be valid UTF-8).
    QByteArray nativeDevice(int port) const;
    void setNativeDevice(int port, const QByteArray &path);

    /// After a lost device, watch its path and reopen it, with the same settings, as soon as a
    /// device is there again. Reception stays as it was (a STOP stays a STOP).
    void setReconnect(bool on) { m_reconnect = on; }

    /// Keep the arrival time of each received block, for lastByteArrival().
    void setTrackArrivals(bool on);
    /// When the block holding the byte last read through Input arrived: nanoseconds since the
    /// port was first opened, on a monotonic clock. 0 unless arrivals are tracked.
    qint64 lastByteArrival();
    /// Every block as the port delivers it, before anything else sees it (for a raw recording).
    void setRawTap(std::function<void(const char *data, qsizetype size)> tap) { m_rawTap = std::move(tap); }

    qsizetype waitLimit() const { return m_waitLimit; }
    /// At least 2 bytes; an odd limit is taken as the even number below it.
    void setWaitLimit(qsizetype bytes) { m_waitLimit = qMax<qsizetype>(2, bytes & ~qsizetype(1)); }

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
    qsizetype InBufferCount() const { return m_waiting.size(); }
    /// Bytes received since the control was made, waiting, read or discarded.
    qint64 bytesReceived() const { return m_received; }

signals:
    /// A batch of notifications has been delivered; the event loop gets its turn next. A batch
    /// completes fewer than 1000 samples, so a reader here finds every new sample in the ring.
    void deliveryDone();
    /// The next byte delivered is the first one read after the port was opened again (after a
    /// lost device): it starts a new stream, so a half-assembled sample before it is an orphan.
    void streamRestarted();
    /// The next byte delivered follows a gap: the oldest waiting bytes were discarded because
    /// more arrived than may wait. bytes counts every byte lost there, the half sample the
    /// gap cut included, so it is always whole samples; pairing starts afresh after it.
    void bytesDiscarded(qint64 bytes);
    /// The port was opened or closed (also when the device was lost).
    void portOpenChanged(bool open);
    /// Something failed outside any handler (a lost device); the port is already closed.
    void failed(const QString &message);

private:
    void receive();
    void onError(QSerialPort::SerialPortError error);
    void scheduleDelivery();
    void deliver();
    void takeArrived();
    void applyLineSettings(const LineSettings &s);
    void discardOldest();
    void tryReconnect();
    [[noreturn]] static void refuseInputMode(qint32 mode);
    [[noreturn]] static void refuseInputLen(qint16 len);
    QString portName() const;
    QString whyOpenFailed(const QByteArray &path) const;
    /// A name Qt can open for the device: the path itself, or a link to it when the path is not
    /// valid UTF-8 (Qt would mangle it).
    QString openableName(const QByteArray &path);

    /// A place in the stream where pairing starts afresh: a reopened port, or a gap left by
    /// discarded bytes.
    struct Break
    {
        qint64 position;
        qint64 discarded; // 0 for a reopened port
    };

    QSerialPort m_port;
    QMap<int, QByteArray> m_devices;
    std::unique_ptr<QTemporaryDir> m_aliases;
    qint16 m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    qint16 m_threshold = 0;
    qint32 m_inputMode = kInputModeText;
    qint16 m_inputLen = 0;
    qint16 m_commEvent = 0;
    ByteQueue m_waiting;      // received bytes not yet read
    qsizetype m_waitLimit = kDefaultWaitLimit;
    qint64 m_received = 0;    // bytes received since start (a position in the stream)
    qint64 m_consumed = 0;    // bytes read through Input or discarded since start
    qint64 m_pairBase = 0;    // stream position of the last break passed: samples start at even offsets from it
    bool m_everOpened = false;
    std::deque<Break> m_breaks; // ahead of m_consumed, in stream order
    bool m_stalled = false; // a handler answered without reading: wait for news
    QTimer m_delivery;
    // Small blocks that come close together are gathered for a moment before they are taken.
    QTimer m_gather;
    QElapsedTimer m_lastArrival;
    bool m_reconnect = false;
    QElapsedTimer m_sinceOpen;
    bool m_trackArrivals = false;
    struct Arrival
    {
        qint64 end; // stream position just past the block
        qint64 nanos;
    };
    std::deque<Arrival> m_arrivals;
    std::function<void(const char *, qsizetype)> m_rawTap;
    QTimer m_reconnectTimer; // a few looks a second while the device is away
    std::function<void()> m_onComm;
};
