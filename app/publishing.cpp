#include "publishing.h"

#include "acquisition.h"
#include "mqttpublisher.h"
#include "recorder.h"
#include "textrules.h"

#include <QDateTime>
#include <QFile>

#ifndef DISPVANTO_VERSION
#define DISPVANTO_VERSION "0"
#endif

Publishing::Publishing(const MqttOptions &options, const QString &portName, Acquisition &acquisition,
                       std::function<Recorder *()> recorder, const QByteArray &rawPath, qint64 rawStart,
                       std::function<void(const QString &)> tell, qint64 startNanos)
    : m_acquisition(acquisition), m_topic(options.topic.isEmpty() ? defaultTopic(portName) : options.topic)
{
    const PortStatus port = acquisition.status();
    PublisherContext context;
    context.programVersion = QStringLiteral(DISPVANTO_VERSION);
    context.portName = portName;
    context.device = acquisition.device(portName == u"COM2" ? 2 : 1);
    context.settings = port.settings;
    // The acquisition outlives this object, and so its publisher.
    context.unixNanos = [&acquisition](qint64 t) { return acquisition.unixNanos(t); };
    context.startNanos = startNanos >= 0 ? startNanos : acquisition.clockNanos();
    if (!rawPath.isEmpty())
        context.readRaw = rawFileReader(QFile::decodeName(rawPath), rawStart);
    m_publisher = std::make_unique<MqttPublisher>(options.broker, m_topic, std::move(context));
    m_startFixed = port.open;

    acquisition.addConsumer(m_publisher.get());

    // A clean end closes the port too, but it loses no device.
    MqttPublisher *publisher = m_publisher.get();
    connect(&acquisition, &Acquisition::lost, publisher, [publisher] { publisher->setDeviceOpen(false); });
    connect(&acquisition, &Acquisition::opened, publisher, [this] { deviceOpened(); });
    connect(publisher, &MqttPublisher::finished, this, &Publishing::finished);
    connect(publisher, &MqttPublisher::problem, this, [tell](const QString &message) { tell(message); });
    connect(publisher, &MqttPublisher::samplesLost, this, [this, recorder](quint64 first, quint64 count) {
        if (Recorder *r = recorder ? recorder() : nullptr)
            r->comment(QDateTime::currentDateTime(),
                       QStringLiteral("no llegaron al broker MQTT %1 muestras (%2 a %3): no cupieron en la memoria "
                                      "de envío mientras no había conexión")
                           .arg(count).arg(first).arg(first + count - 1));
    });
    m_publisher->start();
}

Publishing::~Publishing() = default;

void Publishing::deviceOpened()
{
    const PortStatus port = m_acquisition.status();
    // Started before the port opened: the session starts when it opens, as a local recording's.
    if (!m_startFixed) {
        m_startFixed = true;
        m_publisher->setStart(port.openedNanos);
    }
    m_publisher->setDevice(QStringLiteral("COM%1").arg(port.port), port.device, port.settings);
    m_publisher->setDeviceOpen(true);
}

void Publishing::setSampleLimit(quint64 samples)
{
    m_publisher->setSampleLimit(samples);
}

QString Publishing::result(bool *complete) const
{
    const quint64 taken = m_publisher->samplesTaken();
    const quint64 missing = m_publisher->undeliveredSamples();
    *complete = missing == 0;
    if (*complete)
        return QStringLiteral("%1 publicadas en %2 y confirmadas por el broker %3.")
            .arg(textrules::samplesText(taken), m_topic,
                 m_publisher->client().brokerName());
    return QStringLiteral("No todo llegó al broker %1: %2 de %3 muestras sin confirmar en %4.")
        .arg(m_publisher->client().brokerName())
        .arg(qMin(missing, taken))
        .arg(taken)
        .arg(m_topic);
}

void Publishing::finish()
{
    m_publisher->finish();
}
