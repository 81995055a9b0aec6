#pragma once

#include "mqttsource.h"

#include <QObject>
#include <QString>
#include <functional>

class Recorder;
struct RecordingHeader;

/// A remote bench as the source of a run: its samples through the broker, and how a recording
/// takes them. The recorder is attached once the session's meta has come (it says where the
/// bench's times count from, and what its header tells); a run that heard none still gets its
/// header at the end.
class RemoteBench : public QObject
{
    Q_OBJECT
public:
    RemoteBench(const MqttBroker &broker, const QString &topic, QObject *parent = nullptr);

    MqttSource &source() { return m_source; }
    /// The recorder takes the session's samples from sample 0.
    void record(Recorder &recorder);
    /// Nothing more is taken: a gap given up is told, and done is called once the source has
    /// let go of the broker.
    void stop(std::function<void()> done);

private:
    void attach(qint64 startUnixNanos, qint64 originNanos);
    RecordingHeader header() const;

    MqttSource m_source;
    QString m_topic;
    QString m_brokerName;
    Recorder *m_recorder = nullptr;
    bool m_attached = false;
};
