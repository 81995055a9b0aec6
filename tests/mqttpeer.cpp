// A remote recorder in a process of its own, for the tests that stop it:
// "recibir PUERTO TEMA ARCHIVO_CLAVE MUESTRAS ESPERA_MS" receives samples 0 … MUESTRAS−1 and says
// on stdout what it got: "falta PRIMERA CUANTAS" for each gap given up, then
// "fin COMPLETO ENTREGADAS SUMA_DE_INDICES ERRORES".
#include "mqttsource.h"
#include "mqtttestsupport.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

void say(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

MqttBroker brokerFrom(const QStringList &args)
{
    MqttBroker b;
    b.host = QStringLiteral("127.0.0.1");
    b.port = quint16(args.at(2).toUInt());
    b.user = TestBroker::kUser;
    b.password = readPasswordFile(args.at(4)).password;
    return b;
}

// Checks each sample as it comes: indices rise, jumping only over gaps said to be missing.
class Checker : public SampleConsumer
{
public:
    void sample(const Sample &s) override
    {
        if (s.index != next || s.value != TestFeed::valueAt(s.index))
            ++errors;
        next = s.index + 1;
        ++delivered;
        indexSum += s.index;
    }
    quint64 next = 0;
    quint64 delivered = 0;
    quint64 indexSum = 0;
    quint64 errors = 0;
};

} // namespace

int receive(QCoreApplication &app, const QStringList &args)
{
    MqttSource source(brokerFrom(args), args.at(3));
    Checker checker;
    source.addConsumer(&checker);
    source.setGapWait(args.at(6).toInt());
    QObject::connect(&source, &MqttSource::connectedChanged, &app, [](bool up) {
        if (up)
            say("conectado");
    });
    QObject::connect(&source, &MqttSource::samplesMissing, &app, [&checker](quint64 first, quint64 count) {
        say("falta " + QByteArray::number(first) + ' ' + QByteArray::number(count));
        checker.next = first + count;
    });
    QObject::connect(&source, &MqttSource::targetReached, &app, [&checker](bool complete) {
        say("fin " + QByteArray::number(complete) + ' ' + QByteArray::number(checker.delivered) + ' '
            + QByteArray::number(checker.indexSum) + ' ' + QByteArray::number(checker.errors));
        QCoreApplication::exit(0);
    });
    QObject::connect(&source, &MqttSource::problem, &app,
                     [](const QString &m) { std::fprintf(stderr, "%s\n", qPrintable(m)); });
    source.setTarget(args.at(5).toULongLong());
    source.start();
    return app.exec();
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 7 && args.at(1) == QLatin1String("recibir"))
        return receive(app, args);
    std::fputs("uso: mqttpeer recibir PUERTO TEMA ARCHIVO_CLAVE MUESTRAS ESPERA_MS\n",
               stderr);
    return 2;
}
