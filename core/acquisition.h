#pragma once

#include "kyrserie.h"
#include "receivedecoder.h"
#include "serialcontrol.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <memory>
#include <optional>

/// Which devices stand behind COM1 and COM2, and whether a lost one is reopened: what the
/// command line and the environment choose.
struct PortChoice
{
    std::optional<QByteArray> com1;
    std::optional<QByteArray> com2;
    bool reconnect = false;
};

/// The acquisition: the shared state, the serial control with its waiting backlog, and the
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
    SerialControl &comm() { return *m_comm; }
    ReceiveDecoder &decoder() { return *m_decoder; }
    /// Every sample from now on goes to this consumer too, after those registered before it.
    void addConsumer(SampleConsumer *consumer) { m_decoder->addConsumer(consumer); }

    /// A port button: the control switches to that port at once.
    void choosePort(qint16 port);
    /// Applies line settings: the chosen port, opened if closed, the settings string kept as
    /// cadenaconf and put in force, reception on. Stops at the first step refused; what was
    /// done before stays done.
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
    qint64 clockNanos() const { return m_comm->clockNanos(); }
    /// A time on that clock as Unix nanoseconds, and as a local date and time.
    qint64 unixNanos(qint64 clockNanos) const { return m_unixAtZero + clockNanos; }
    QDateTime wallTime(qint64 clockNanos) const;

signals:
    /// A batch of samples has been decoded: readers of the ring find every new one there.
    void delivered();
    void portOpenChanged(bool open);
    /// Something failed outside any handler (a lost device, no memory), in Spanish.
    void failed(const QString &message);
    /// Decoding reached a gap of discarded bytes (whole samples).
    void discarded(const StreamEvent &gap);

private:
    void hold(int delta);
    void update();

    Kyrserie m_k;
    std::unique_ptr<SerialControl> m_comm;
    std::unique_ptr<ReceiveDecoder> m_decoder;
    qint64 m_unixAtZero = 0;
    bool m_on = false;
    int m_holds = 0;
};
