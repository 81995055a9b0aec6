#pragma once

// What the remote recorder's fault tests share: the real bench and recorder as processes, a
// crafted client, and the files and processes read back.

#include "batchformat.h"
#include "mqttmessages.h"
#include "mqttclient.h"
#include "mqtttestsupport.h"
#include "recordingsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>

namespace remotefaults {

constexpr int kTimeout = 30000;
inline const QString kTopic = QStringLiteral("lab/banco7");
/// In the broker's log once a recorder has connected.
inline const QString kListening = QStringLiteral("as dvrec");

QStringList mqttArgs(quint16 port, const QString &passwordFile);
/// Rows of a CSV as text, without the comment lines: what a user compares.
QList<QByteArray> rowsOf(const QString &path);
/// Waits for a program's end while this process's event loop runs (a proxy or a publisher of the
/// test may be needed meanwhile): its exit status, or -1 when it crashed or is still running.
int endOf(RunningProgram &p, int ms = 60000);
/// What the bench's re-send rate allows in elapsed ms (its one-second burst, then 8 MiB/s), and a
/// quarter more for the batches' headers, the live samples and the answers.
double allowedResend(qint64 elapsedMs);
/// A batch of count samples of one value, all arrived at once.
Batch craftedBatch(quint64 session, quint64 first, quint64 count);

/// A client that publishes what the test makes up and keeps what comes on the subtopics it
/// listens to.
struct Crafter
{
    MqttClient client;
    QSignalSpy acked{&client, &MqttClient::acknowledged};
    QSignalSpy heard{&client, &MqttClient::messageReceived};

    Crafter(const TestBroker &broker, const QStringList &listen);
    /// Connects; false when it could not.
    bool connect();
    /// Publishes (QoS 1) and waits until the broker has it.
    bool send(const QString &subtopic, const QByteArray &payload, bool retain = false);
    QList<QByteArray> payloadsOn(const QString &subtopic) const;
    /// A message on the subtopic began with start and ended with end.
    bool heardOn(const QString &subtopic, const QString &start, const QString &end) const;
    /// The bench answered on TEMA/pedido that the samples from first on do not exist yet.
    bool refusedAsNotYetThere(quint64 first) const;
};

/// A valid meta of a bench at 115200 baud.
SessionMeta craftedMeta(quint64 session);
/// 2000 requests for samples 0 … 10^12 of the session, in 20 bursts over 2 s.
bool flood(Crafter &crafter, quint64 session);

/// A bench on the simulated board at 115200 baud and a recorder of it, both the real program with
/// --muestras, each on its own broker port (direct or through a proxy), and what each wrote.
struct BenchAndRecorder
{
    explicit BenchAndRecorder(const QTemporaryDir &dir);
    void startRecorder(quint16 port, qint64 n);
    void startBench(quint16 port, qint64 n);
    /// Both end well, and the recorder's files are the bench's: every row, tiempo_s included.
    void checkSame(qint64 n);
    /// The session in the recorder's CSV header (0 before it is written).
    quint64 session() const;

    QString password, localCsv, localRaw, remoteCsv, remoteRaw;
    Board board{{"--baud", "115200"}};
    QString device = board.path; ///< the bench's --com1
    RunningProgram bench, recorder;
};

} // namespace remotefaults
