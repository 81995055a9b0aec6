// The publisher's end: what is pending goes out, then the goodbye, then the disconnection,
// each within the end's bound.
#include "mqttpublisher.h"
#include "mqttwire.h"

void MqttPublisher::finish()
{
    if (m_finishing)
        return;
    m_finishing = true;
    seal();
    m_summaryTimer.stop();
    publishView(); // the last samples' view, if the broker takes it
    m_finishTimer.start(kFinishTimeoutMs);
    // The broker may be back since the last try: one more, now, within the end's bound.
    m_client.retryNow();
    checkFinished();
}

// Last words once the broker has every batch: the final summary and "fuera de línea"; the
// goodbye follows its acknowledgement. Without a broker there is no one to tell.
void MqttPublisher::checkFinished()
{
    if (!m_finishing)
        return;
    if (!m_goodbyeSent && !m_client.isConnected()) {
        if (!m_client.isConnecting())
            endConnection(); // else the connection, or the deadline, comes back here
    }
    else if (!m_goodbyeSent && (m_store.allAcknowledged() || m_store.unacknowledgedSamples(&m_delivered) == 0))
        sayGoodbye();
    else if (m_goodbyeSent && m_goodbyeAcked && !lingering())
        endConnection();
}

// A recorder that asked for samples lately may still be catching up (writing out what it holds
// before it asks for the rest): gone at once, the bench would leave it gaps that its raw file
// could fill. It stays while requests keep coming, re-sending, within a bound.
bool MqttPublisher::lingering()
{
    const qint64 now = m_clock.elapsed();
    if (m_lastRequestAt < 0 || !m_client.isConnected())
        return false;
    const qint64 cap = m_goodbyeAckedAt + kLingerMaxMs;
    const bool busy = !m_resends.empty() || !m_inFlight.empty();
    const qint64 quietAt = busy ? now + 200 : m_lastRequestAt + kLingerMs;
    if (now >= cap || now >= quietAt)
        return false;
    m_lingerTimer.start(int(qMin(quietAt, cap) - now));
    return true;
}

void MqttPublisher::finishDeadlinePassed()
{
    if (!m_goodbyeSent && m_client.isConnected())
        sayGoodbye(); // the broker is slow: say it anyway, after what was sent
    else
        endConnection();
}

void MqttPublisher::sayGoodbye()
{
    reportUnconfirmed();
    flushLoss();
    publishSummary();
    m_goodbyeSent = true;
    m_goodbyeMid = m_client.publish(m_topics.state, mqttwire::goodbyeText(m_session, m_store.end()), 1, true);
    if (m_goodbyeMid < 0)
        endConnection();
    else
        m_finishTimer.start(kFinishTimeoutMs);
}

void MqttPublisher::endConnection()
{
    m_finishTimer.stop();
    reportUnconfirmed();
    m_client.disconnectFromBroker();
}

void MqttPublisher::reportUnconfirmed()
{
    const quint64 pending = m_store.unacknowledgedSamples(&m_delivered);
    if (pending && m_unconfirmed.first()) {
        emit problem(QStringLiteral("MQTT: al terminar, el broker %1 no había confirmado %2 muestras")
                         .arg(m_client.brokerName())
                         .arg(pending));
    }
}
