#pragma once

#include "mqttoptions.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class Acquisition;
class MqttPublisher;
class Recorder;

/// Publishes everything an acquisition decodes to the broker of the command line: the publisher
/// is one more consumer of the acquisition; a lost device and its return are said on
/// TEMA/estado; samples that never reached the broker leave a line in the local CSV; problems
/// go to tell. Reception, display and local recording never wait for it.
class Publishing : public QObject
{
    Q_OBJECT
public:
    /// portName: "COM1" or "COM2", for the default topic and the meta. recorder: the local
    /// recording now, if any (for the comment lines). rawPath, rawStart: the raw recording and
    /// its first stream position, for re-sending beyond memory (an empty path: none).
    Publishing(const MqttOptions &options, const QString &portName, Acquisition &acquisition,
               std::function<Recorder *()> recorder, const QByteArray &rawPath, qint64 rawStart,
               std::function<void(const QString &)> tell, qint64 startNanos = -1);
    ~Publishing() override;

    /// The topic published under.
    QString topic() const { return m_topic; }
    MqttPublisher &publisher() { return *m_publisher; }

    /// A clean end, once the acquisition has handed out its last sample: sends what is pending
    /// and says "fuera de línea"; finished() follows once the broker has it, or without it when
    /// the broker is away (the publisher's own bounds).
    void finish();
    /// Publishes the samples of index below this only, as the local files (0: all).
    void setSampleLimit(quint64 samples);
    /// After finish(): what reached the broker, for a summary; complete when all of it did.
    QString result(bool *complete) const;

signals:
    void finished();

private:
    void deviceOpened();

    Acquisition &m_acquisition;
    QString m_topic;
    std::unique_ptr<MqttPublisher> m_publisher;
    bool m_startFixed = false; // the port had opened when the publisher started, or has since
};
