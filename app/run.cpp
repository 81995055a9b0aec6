#include "run.h"

#include "mqttoptions.h"
#include "publishing.h"
#include "recorder.h"
#include "remotebench.h"

Run::Run(const PortChoice &ports, QObject *parent) : QObject(parent), m_port(std::make_unique<Acquisition>(ports))
{
    boundTheEnd();
}

Run::Run(const MqttBroker &broker, const QString &topic, QObject *parent)
    : QObject(parent), m_remote(std::make_unique<RemoteBench>(broker, topic))
{
    boundTheEnd();
}

Run::~Run() = default;

// A source or a broker that never answers does not hold the end up: past the bound, what is
// there is written and the run ends.
void Run::boundTheEnd()
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        writeOut();
        end();
    });
}

MqttSource *Run::remote() const
{
    return m_remote ? &m_remote->source() : nullptr;
}

Recorder &Run::record(std::unique_ptr<Recorder> recorder)
{
    stopRecording();
    m_recorder = std::move(recorder);
    if (m_port)
        m_recorder->attach(*m_port);
    else
        m_remote->record(*m_recorder);
    return *m_recorder;
}

void Run::stopRecording()
{
    if (!m_recorder)
        return;
    m_recorder->finish();
    m_recorder.reset();
}

Publishing &Run::publish(const MqttOptions &options, const QString &portName, const QByteArray &rawPath,
                         std::function<void(const QString &)> tell)
{
    Q_ASSERT(m_port);
    const Recorder *local = m_recorder.get();
    const bool raw = local && local->hasRaw();
    m_publishing = std::make_unique<Publishing>(
        options, portName, *m_port, [this] { return m_recorder.get(); }, raw ? rawPath : QByteArray(),
        raw ? local->rawStartPosition() : 0, std::move(tell), local ? local->originNanos() : -1);
    return *m_publishing;
}

void Run::finish()
{
    if (m_finishing)
        return;
    m_finishing = true;
    // Not now: the caller may be inside a sample's delivery, which the end would re-enter.
    QMetaObject::invokeMethod(this, &Run::stopSource, Qt::QueuedConnection);
}

// Nothing more comes in; what the source still holds goes to the consumers first.
void Run::stopSource()
{
    m_deadline.start(kEndWaitMs);
    if (m_port) {
        m_port->finish();
        writeOut();
    } else {
        m_remote->stop([this] { writeOut(); });
    }
}

// The files are written and closed, then the broker is told goodbye (within the bound).
void Run::writeOut()
{
    if (m_written)
        return;
    m_written = true;
    if (m_recorder)
        m_recordingComplete = m_recorder->finish();
    if (!m_publishing) {
        end();
        return;
    }
    m_deadline.start(kEndWaitMs);
    connect(m_publishing.get(), &Publishing::finished, this, &Run::end);
    m_publishing->finish();
}

void Run::end()
{
    if (m_ended)
        return;
    m_ended = true;
    m_deadline.stop();
    emit finished();
}
