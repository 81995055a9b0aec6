#pragma once

#include "mqttbroker.h"
#include "mqttclient.h"
#include "rotation.h"
#include "sampleconsumer.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <set>
#include <memory>
#include <vector>

class Run;
struct SessionMeta;

/// Records every bench whose topic matches a filter, each session of each bench into its own
/// files under one folder: FOLDER/<bench>/<bench>_<start>.csv and .bin (names from labnames).
/// Benches are found by their meta. For each, a run stands by for its next live session (a
/// retained meta of a session that said goodbye is passed by): subscribed in advance, it takes
/// that session from its first batch, becomes its recording, and the next one stands by; the
/// old session is completed meanwhile. Each session is a remote run of its own, with its own
/// gap repair and persistent session at the broker.
///
/// Bounds: kMaxBenches benches (more are told once and not recorded), and kPendingBytes waiting
/// behind a gap per session (past it, batches are asked for again later).
class LabRecorder : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxBenches = 128;
    static constexpr qint64 kPendingBytes = qint64(8) << 20;

    struct Settings
    {
        MqttBroker broker;
        QString filter;
        QByteArray folder;
        bool csv = true;
        bool raw = true;
        Rotation rotation;
    };

    explicit LabRecorder(Settings settings, QObject *parent = nullptr);
    ~LabRecorder() override;

    void start();
    /// Ends every recording (each within a run's bound); finished() once all have.
    void finish();

    /// One line: benches recording, samples a second in all since the last call, gaps open.
    QString progressLine();
    /// A table, a row per session recorded: bench, session, samples, gaps, files, state.
    QString table();
    /// Some session was recorded, and each is complete: no gap given up, no file failed.
    bool allComplete() const;
    quint64 sessionsRecorded() const { return m_rows.size(); }

signals:
    void finished();

private:
    struct Row
    {
        QString topic;
        quint64 session = 0;
        quint64 samples = 0;
        quint64 gaps = 0;       // ranges given up
        quint64 gapSamples = 0; // their samples
        QString files;
        QString state;
        bool failed = false;
        bool over = false; // its run has finished
    };
    static constexpr size_t kNoRow = size_t(-1);
    struct Recording
    {
        std::unique_ptr<Run> run;
        size_t row; // kNoRow: standing by for the bench's next session
    };

    void received(const QString &topic, const QByteArray &payload, bool retained);
    void onMeta(const QString &bench, const QByteArray &payload);
    void standBy(const QString &bench, quint64 after);
    void promote(Run *run, const QString &bench);
    void refresh(Recording &r);
    void runFinished(Run *run);
    void checkFinished();

    Settings m_s;
    MqttClient m_discovery;
    std::set<QString> m_benches; // found, each with a run standing by
    bool m_tooManyTold = false;
    std::vector<Row> m_rows;
    std::vector<Recording> m_recordings; // those whose run goes on, and one standing by per bench
    bool m_finishing = false;
    bool m_discoveryClosed = false;
    quint64 m_lastTotal = 0;
};

class SignalWatcher;
struct Options;

/// The logger on every bench under a filter (--desde-mqtt lab/+ --carpeta DIR): until a
/// signal; SIGUSR1 prints the table. Returns the exit status.
int runLabLogger(const Options &options, SignalWatcher &watcher);
