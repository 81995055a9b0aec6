#pragma once

#include "acquisition.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

struct MqttBroker;
class MqttSource;
class Publishing;
class Recorder;
class RemoteBench;
struct MqttOptions;

/// One run: its source (a port's acquisition, or a remote bench through the broker), the
/// consumers asked for (the recorder, the publisher), and its end. The windows, the logger and
/// the remote recorder each build theirs here, and end it with finish(): nothing more comes in,
/// what waited is decoded and written, the files are closed, the broker is told goodbye, and
/// then finished() says so. The end is never waited for inside a call, nor done by a destructor.
class Run : public QObject
{
    Q_OBJECT
public:
    /// How long the end waits for the source and then for the broker's goodbye, at most.
    static constexpr int kEndWaitMs = 10000;

    /// A run on a port: the acquisition is made here, on the devices chosen.
    explicit Run(const PortChoice &ports, QObject *parent = nullptr);
    /// A run on a remote bench: its samples come through this broker, from this topic. Its
    /// source starts when the caller says (remote()->start()).
    Run(const MqttBroker &broker, const QString &topic, QObject *parent = nullptr);
    ~Run() override;

    /// The source; the other one is null.
    Acquisition *acquisition() const { return m_port.get(); }
    MqttSource *remote() const;

    /// From the next sample on (a remote bench: from its session's first), the samples go to
    /// this recorder, whose files are already made; a recording that runs is ended first.
    Recorder &record(std::unique_ptr<Recorder> recorder);
    /// Ends the recording now, everything written out; the run goes on.
    void stopRecording();
    /// The recording running, if any.
    Recorder *recorder() const { return m_recorder.get(); }

    /// Publishes every sample of the port (a port run only) to the broker the options name,
    /// under their topic or the default one for portName; problems go to tell. With the raw
    /// file of the recording running (rawPath), re-sending reaches back to its start.
    Publishing &publish(const MqttOptions &options, const QString &portName, const QByteArray &rawPath,
                        std::function<void(const QString &)> tell);
    Publishing *publishing() const { return m_publishing.get(); }

    /// The clean end, from the next turn of the event loop on; finished() follows. Safe to call
    /// at any time (also from within a sample's delivery) and more than once.
    void finish();
    bool isFinishing() const { return m_finishing; }
    /// Once finished: every file recorded holds everything it was given.
    bool recordingComplete() const { return m_recordingComplete; }

signals:
    void finished();

private:
    void boundTheEnd();
    void stopSource();
    void writeOut();
    void end();

    // The consumers are destroyed before their source.
    std::unique_ptr<Acquisition> m_port;
    std::unique_ptr<RemoteBench> m_remote;
    std::unique_ptr<Recorder> m_recorder;
    std::unique_ptr<Publishing> m_publishing;
    QTimer m_deadline;
    bool m_finishing = false;
    bool m_written = false;
    bool m_ended = false;
    bool m_recordingComplete = true;
};
