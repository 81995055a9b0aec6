#pragma once

#include "kyrserie.h"
#include "receivedecoder.h"
#include "settingsrefused.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <memory>
#include <optional>

class SerialControl;

/// Which devices stand behind COM1 and COM2, and whether a lost one is reopened: what the
/// command line and the environment choose.
struct PortChoice
{
    std::optional<QByteArray> com1;
    std::optional<QByteArray> com2;
    bool reconnect = false;
};

/// The port as the acquisition has it now: a value, read whenever; the acquisition's signals
/// say when it changes.
struct PortStatus
{
    qint16 port = 1;         ///< COMn, the port chosen
    QString device;          ///< the device behind it, as shown in messages
    QString settings;        ///< the line settings in force
    bool open = false;
    qint64 openedNanos = -1; ///< when it last opened, on the samples' clock (-1: never)
    bool lost = false;       ///< its device was lost and has not been opened since
};

/// Where the stream stands for a consumer that joins now.
struct StreamPoint
{
    qint64 nextSample; ///< stream position of the next sample's first byte (a half sample read counts)
    qint64 received;   ///< stream position past the last byte received
    quint64 nextIndex; ///< the index the next sample gets
};

/// The acquisition: the shared state, the serial port with its waiting backlog, and the
/// decoder that hands every sample to its consumers. The windows, the recorder, the publisher
/// and the logger are given it; none reaches the port another way. Whether reception is on is
/// decided here only: the user's STOP and Continuar, and holds that pause it for a moment.
class Acquisition : public QObject
{
    Q_OBJECT
public:
    explicit Acquisition(const PortChoice &choice = {}, QObject *parent = nullptr);
    ~Acquisition() override;

    Kyrserie &kyrserie() { return m_k; }
    ReceiveDecoder &decoder() { return *m_decoder; }
    /// Every sample from now on goes to this consumer too, after those registered before it.
    void addConsumer(SampleConsumer *consumer) { m_decoder->addConsumer(consumer); }

    PortStatus status() const;
    /// The device behind COMn, as shown in messages.
    QString device(int port) const;
    /// Bytes received and not decoded yet, and how many may wait before the oldest go.
    qsizetype waiting() const;
    qsizetype waitLimit() const;
    StreamPoint streamPoint() const;
    /// Appends the bytes received from streamPoint().nextSample on: a half sample already
    /// read, and every byte that waits to be decoded.
    void copyUndecoded(QByteArray &to) const;

    /// A port button: the control switches to that port at once.
    void choosePort(qint16 port);
    /// Applies line settings: the chosen port, opened if closed, the settings string kept as
    /// cadenaconf and put in force, reception on. Stops at the first step refused (settings
    /// refused: SettingsRefused); what was done before stays done.
    void apply(qint16 numpuerto, const QString &settings);

    /// STOP: received bytes wait, in order (while the port is open or bytes still wait).
    void stop();
    /// Continuar: waiting and new bytes are decoded again (under the same condition).
    void resume();
    bool receptionOn() const { return m_on; }

    /// Pauses reception while it lives, whatever the user chose; afterwards reception is as
    /// the user left it.
    class Hold
    {
    public:
        explicit Hold(Acquisition &a) : m_a(a) { m_a.hold(+1); }
        ~Hold() { m_a.hold(-1); }
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;

    private:
        Acquisition &m_a;
    };
    [[nodiscard]] Hold holdReception() { return Hold(*this); }

    /// A clean end: closes the port, keeping what it still had, and when anyone takes the
    /// samples, decodes everything that waited, stopped or not.
    void finish();

    /// Now, on the clock that times Sample::arrivalNanos.
    qint64 clockNanos() const;
    /// A time on that clock as Unix nanoseconds, and as a local date and time.
    qint64 unixNanos(qint64 clockNanos) const { return m_unixAtZero + clockNanos; }
    QDateTime wallTime(qint64 clockNanos) const;

signals:
    /// A batch of samples has been decoded: readers of the ring find every new one there.
    void delivered();
    void portOpenChanged(bool open);
    /// The port opened (the first time, or again).
    void opened();
    /// Its device was lost; the port is closed and failed() follows with the message.
    void lost();
    /// The port opened again after its device was lost; opened() came just before.
    void reopened();
    /// Other line settings are in force.
    void settingsChanged(const QString &settings);
    /// Something failed outside any handler (a lost device, no memory), in Spanish.
    void failed(const QString &message);
    /// Decoding reached a gap of discarded bytes (whole samples).
    void discarded(const StreamEvent &gap);

private:
    friend struct AcquisitionTestAccess; // tests drive the port control directly
    void hold(int delta);
    void update();
    void portOpened(bool open);

    Kyrserie m_k;
    std::unique_ptr<SerialControl> m_comm;
    std::unique_ptr<ReceiveDecoder> m_decoder;
    qint64 m_unixAtZero = 0;
    bool m_on = false;
    int m_holds = 0;
    bool m_reopenDue = false; // lost, and not open since
};
