// Publishing through a local Mosquitto, on the real program path (pseudo-terminal, windows,
// graph plotting): flat out to the real remote recorder (dispvanto --desde-mqtt), checked
// sample for sample; the publisher's CPU at 1.2 MB/s with publishing on and off; latency from
// a sample's arrival at the port to its receipt by a remote recorder in another process; the
// remote recorder's cost at 1.2 MB/s, quiet and under attack (mqttattack.cpp).
//
//   mqttbench [plano|cpu|latencia|ataque|laboratorio]  the rows (or one of them); LAB_BENCHES, LAB_SECONDS
//   mqttbench recibir PUERTO TEMA CLAVE N       (child) latency of samples 0 … N−1, on stdout
//   mqttbench atacar PUERTO TEMA CLAVE S N      (child) the attack on session S, when told on stdin

#include "mqttrows.h"
#include "mqttsource.h"
#include "publishing.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace bench;

namespace {

constexpr double kCpuSeconds = 10;

double percentileOf(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

qint64 unixNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The child: a remote recorder of its own, timing each sample as it is handed out.
int receive(const QStringList &args)
{
    MqttSource source(brokerAt(quint16(args.at(2).toUInt()), args.at(4)), args.at(3));
    struct Timer : SampleConsumer
    {
        MqttSource *source;
        std::vector<double> ms;
        void sample(const Sample &s) override
        {
            const qint64 arrival = s.arrivalNanos + source->meta().clockZeroUnixNanos;
            ms.push_back(double(unixNow() - arrival) / 1e6);
        }
    } timer;
    timer.source = &source;
    source.addConsumer(&timer);
    QObject::connect(&source, &MqttSource::metaReceived, &source, [] { std::puts("listo"); std::fflush(stdout); });
    QObject::connect(&source, &MqttSource::targetReached, &source, [&](bool complete) {
        std::printf("latencia %.2f %.2f %zu %d\n", percentileOf(timer.ms, 0.5), percentileOf(timer.ms, 0.99),
                    timer.ms.size(), complete ? 1 : 0);
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
    source.setTarget(args.at(5).toULongLong());
    source.start();
    return QCoreApplication::exec();
}

// Flat out from the pseudo-terminal, through the broker, into the real remote recorder's raw file.
void flatOut(Bench &b)
{
    constexpr quint64 kSamples = 16u << 20; // 32 MiB, as the ingest rows
    Pipeline p;
    receptionOn(p);
    p.program->publish(b.options(QStringLiteral("bench/plano")), QStringLiteral("COM1"));
    const QString raw = b.dir.filePath(QStringLiteral("remoto.bin"));
    QProcess remote;
    remote.setProcessChannelMode(QProcess::SeparateChannels);
    remote.start(QStringLiteral(DISPVANTO_BINARY), QStringList{"--sin-ventanas", "--desde-mqtt", "bench/plano", "--crudo",
                                                               raw, "--muestras", QString::number(kSamples)}
                                                       + b.brokerArgs());
    QByteArray errors;
    // Ready once it has heard the publisher: nothing has to be sent again to it.
    bench::runUntil([&] { return (errors += remote.readAllStandardError()).contains("en línea"); }, 30);
    Feeder feeder(p.pty.masterFd(), kSamples, 0);
    const auto start = Clock::now();
    feeder.start();
    bench::runUntil([&] { return remote.state() == QProcess::NotRunning; }, 300);
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    feeder.join();
    QFile f(raw);
    f.open(QIODevice::ReadOnly);
    const QByteArray got = f.readAll();
    const bool equal = got.size() == qsizetype(2 * kSamples) && checksumOf(got) == checksumOfFirst(kSamples);
    row(QStringLiteral("MQTT flat out to the remote recorder, %1 M samples").arg(kSamples >> 20),
        QStringLiteral("%1 samples/s (%2 MB/s), checksums %3")
            .arg(kSamples / secs, 0, 'f', 0).arg(2 * kSamples / secs / 1e6, 0, 'f', 1)
            .arg(equal ? QStringLiteral("equal") : QStringLiteral("DIFFER")),
        QStringLiteral("lossless"));
    p.finish();
}

// The publisher's process CPU (the feeder's own left out) over kCpuSeconds at 1.2 MB/s.
double cpuAtFastRate(Bench &b, bool publishing)
{
    Pipeline p;
    receptionOn(p);
    if (publishing)
        p.program->publish(b.options(QStringLiteral("bench/cpu")), QStringLiteral("COM1"));
    Feeder feeder(p.pty.masterFd(), ~0ull >> 2, 1.2e6);
    runFor(0.5); // settle, and connect
    const double cpu0 = processCpu();
    const auto start = Clock::now();
    feeder.start();
    runFor(kCpuSeconds);
    feeder.stop();
    feeder.join();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double percent = 100 * (processCpu() - cpu0 - feeder.cpu()) / wall;
    p.finish();
    return percent;
}

void cpu(Bench &b, int runs)
{
    std::vector<double> off, on, ratio;
    for (int i = 0; i < runs; ++i) { // interleaved, so the machine's other load falls on both
        off.push_back(cpuAtFastRate(b, false));
        on.push_back(cpuAtFastRate(b, true));
        ratio.push_back(on.back() / off.back());
    }
    const double r = percentileOf(ratio, 0.5);
    row(QStringLiteral("publisher CPU at 1.2 MB/s, publishing on / off"),
        QStringLiteral("%1 % / %2 % of one core: %3x")
            .arg(percentileOf(on, 0.5), 0, 'f', 1).arg(percentileOf(off, 0.5), 0, 'f', 1).arg(r, 0, 'f', 2),
        QStringLiteral("<= 1.3x"));
}

// Paced at 115200 baud; the remote recorder is a process of its own, on the same clock.
void latency(Bench &b, const char *self)
{
    constexpr quint64 kSamples = 5760 * 10; // ten seconds at 115200 baud
    Pipeline p;
    receptionOn(p);
    p.program->publish(b.options(QStringLiteral("bench/latencia")), QStringLiteral("COM1"));
    QProcess child;
    child.start(QString::fromLocal8Bit(self), {"recibir", QString::number(b.broker->port()), "bench/latencia",
                                              b.passwordFile, QString::number(kSamples)});
    QByteArray out;
    bench::runUntil([&] { return (out += child.readAllStandardOutput()).contains("listo"); }, 30);
    Feeder feeder(p.pty.masterFd(), kSamples, 11520);
    feeder.start();
    bench::runUntil([&] { return (out += child.readAllStandardOutput()).contains("latencia"); }, 60);
    feeder.join();
    const QList<QByteArray> w = out.mid(out.indexOf("latencia")).trimmed().split(' ');
    row(QStringLiteral("latency at 115200 baud, port to remote recorder"),
        w.size() >= 5 ? QStringLiteral("median %1 ms, p99 %2 ms (%3 samples%4)")
                            .arg(QString::fromLatin1(w[1]), QString::fromLatin1(w[2]), QString::fromLatin1(w[3]),
                                 w[4] == "1" ? QString() : QStringLiteral(", SOME MISSING"))
                      : QStringLiteral("no answer"),
        QStringLiteral("p99 <= 100 ms"));
    child.waitForFinished(5000);
    p.finish();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc >= 6 && QByteArray(argv[1]) == "recibir") {
        QCoreApplication app(argc, argv);
        return receive(app.arguments());
    }
    if (argc >= 7 && QByteArray(argv[1]) == "atacar") {
        QCoreApplication app(argc, argv);
        return attackChild(app.arguments());
    }
    QApplication app(argc, argv);
    Bench b;
    b.broker = std::make_unique<TestBroker>(b.dir.path(), TestBroker::Options{});
    if (const QString e = b.broker->start(); !e.isEmpty()) {
        std::fprintf(stderr, "mqttbench: %s\n", qPrintable(e));
        return 1;
    }
    b.passwordFile = writePasswordFile(b.dir.path(), TestBroker::kPassword);
    std::printf("\n  %-52s %-44s %s\n", "MQTT figure", "value", "target");
    // One row alone, for a second look: mqttbench plano|cpu|latencia|ataque
    const QByteArray only = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (only.isEmpty() || only == "plano")
        flatOut(b);
    if (only.isEmpty() || only == "cpu")
        cpu(b, qEnvironmentVariableIntValue("MQTT_CPU_RUNS") > 0 ? qEnvironmentVariableIntValue("MQTT_CPU_RUNS") : 1);
    if (only.isEmpty() || only == "latencia")
        latency(b, argv[0]);
    if (only.isEmpty() || only == "ataque")
        recorderUnderAttack(b, argv[0]);
    if (only.isEmpty() || only == "laboratorio") {
        labAtScale(b, qEnvironmentVariableIntValue("LAB_BENCHES") > 0 ? qEnvironmentVariableIntValue("LAB_BENCHES") : 60,
                   qEnvironmentVariableIntValue("LAB_SECONDS") > 0 ? qEnvironmentVariableIntValue("LAB_SECONDS") : 60, false);
        labAtScale(b, 16, 0, true);
    }
    return 0;
}
