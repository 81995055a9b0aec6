#pragma once

// What the MQTT rows share: their broker, the row printer and the checksums of a recording.

#include "harness.h"
#include "mqttbroker.h"
#include "mqttoptions.h"
#include "mqtttestsupport.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace bench {

inline quint64 checksumOf(const QByteArray &bytes)
{
    quint64 sum = 0;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        sum = sum * 31 + (quint8(bytes[i]) | quint8(bytes[i + 1]) << 8);
    return sum;
}

inline quint64 checksumOfFirst(quint64 count)
{
    quint64 sum = 0;
    for (quint64 i = 0; i < count; ++i)
        sum = sum * 31 + sampleAt(i);
    return sum;
}

inline void row(const QString &figure, const QString &value, const QString &target)
{
    std::printf("  %-52s %-44s %s\n", qPrintable(figure), qPrintable(value), qPrintable(target));
    std::fflush(stdout);
}

inline MqttBroker brokerAt(quint16 port, const QString &passwordFile)
{
    MqttBroker b;
    b.host = QStringLiteral("127.0.0.1");
    b.port = port;
    b.user = TestBroker::kUser;
    b.password = readPasswordFile(passwordFile).password;
    return b;
}

// The pipeline's port is open; reception is switched on where the windows switch it, in the
// acquisition, so that the graph's plotting passes hand it back on after each pause.
inline void receptionOn(Pipeline &p)
{
    p.program->acquisition().apply(1, QStringLiteral("921600,N,8,1"));
}

struct Bench
{
    QTemporaryDir dir;
    std::unique_ptr<TestBroker> broker;
    QString passwordFile;

    MqttOptions options(const QString &topic) const
    {
        MqttOptions m;
        m.broker = brokerAt(broker->port(), passwordFile);
        m.topic = topic;
        return m;
    }
    QStringList brokerArgs() const
    {
        return {"--mqtt", QStringLiteral("127.0.0.1:%1").arg(broker->port()), "--mqtt-usuario", TestBroker::kUser,
                "--mqtt-clave-archivo", passwordFile};
    }
};

/// The real remote recorder recording a bench at 1.2 MB/s, once quietly and once while a third
/// client publishes stray batches and floods TEMA/pedido (the child `mqttbench atacar`).
void recorderUnderAttack(Bench &b, const char *self);
/// Many benches (publishers of this process) into one lab recorder under a filter.
void labAtScale(Bench &b, int benches, int seconds, bool flat);
/// (child) mqttbench atacar PUERTO TEMA CLAVE SESION MUESTRAS
int attackChild(const QStringList &args);

} // namespace bench
