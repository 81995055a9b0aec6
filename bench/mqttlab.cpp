// The lab's central recorder at scale: many benches through one Mosquitto into one real recorder
// (dispvanto --desde-mqtt bancos/+ --carpeta …), CSV and raw per bench. Four are the real logger
// on the simulated board at 115200 baud; the rest are publishers of this process fed at that
// rate by a synthetic source. Every bench's raw file is checked against what it published (the
// real ones' against their own --crudo); the recorder's CPU and peak memory are reported.
#include "mqttpublisher.h"
#include "mqttrows.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <csignal>
#include <memory>
#include <vector>

#include <unistd.h>

namespace bench {

namespace {

// CPU seconds a process has used so far (user and system), from /proc.
double cpuSecondsOf(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? (fields[11].toDouble() + fields[12].toDouble()) / double(::sysconf(_SC_CLK_TCK)) : -1;
}

} // namespace

void labAtScale(Bench &b, int benches, int seconds, bool flat)
{
    // Paced: 5 760 samples/s, 115200 baud. Flat: 2 M samples per bench at once (within the
    // publishers' sending memory, so that none is lost), raw only: the recorder's own limit.
    const int perBlock = flat ? 16384 : 288, blocksPerTick = flat ? 4 : 1, tickMs = flat ? 1 : 50;
    const quint64 total = flat ? quint64(qEnvironmentVariableIntValue("LAB_FLAT_MSAMPLES") > 0 ? qEnvironmentVariableIntValue("LAB_FLAT_MSAMPLES") : 2) << 20 : quint64(perBlock) * (1000 / tickMs) * quint64(seconds);
    const QString out = b.dir.filePath(flat ? QStringLiteral("laboratorio-plano") : QStringLiteral("laboratorio"));
    QDir().mkpath(out);
    QProcess recorder;
    recorder.setProcessChannelMode(QProcess::SeparateChannels);
    recorder.start(QStringLiteral(DISPVANTO_BINARY),
                   QStringList{"--sin-ventanas", "--desde-mqtt", "bancos/+", "--carpeta", out, "--formatos",
                               flat ? "crudo" : "csv,crudo"} + b.brokerArgs());
    QByteArray said;
    const auto hear = [&] { return said += recorder.readAllStandardError(); };
    runUntil([&] { return hear().contains("Se graban"); }, 30);

    std::vector<std::unique_ptr<TestFeed>> feeds;
    std::vector<std::unique_ptr<MqttPublisher>> publishers;
    for (int i = 0; i < benches; ++i) {
        feeds.push_back(std::make_unique<TestFeed>(perBlock, blocksPerTick, tickMs));
        PublisherContext context = feeds.back()->context();
        if (flat) // a pseudo-terminal, as the flat-out rows use: no line bounds its rate
            context.device = QStringLiteral("/dev/pts/%1").arg(i);
        publishers.push_back(std::make_unique<MqttPublisher>(b.options({}).broker,
                                                             QStringLiteral("bancos/b%1").arg(i, 2, 10, QLatin1Char('0')),
                                                             std::move(context)));
        feeds.back()->addConsumer(publishers.back().get());
        publishers.back()->start();
    }
    // The real loggers, paced only: each on a board of its own, for the run's length.
    const int real = flat ? 0 : std::min(4, benches);
    std::vector<std::unique_ptr<QProcess>> boards, loggers;
    for (int i = 0; i < real; ++i) {
        boards.push_back(std::make_unique<QProcess>());
        boards.back()->start(QStringLiteral(BOARDSIM_BINARY), {"--baud", "115200"});
        boards.back()->waitForReadyRead(10000);
        const QString device = QString::fromLocal8Bit(boards.back()->readLine().trimmed());
        loggers.push_back(std::make_unique<QProcess>());
        loggers.back()->start(QStringLiteral(DISPVANTO_BINARY),
                              QStringList{"--sin-ventanas", "--com1", device, "--config", "115200,N,8,1", "--mqtt-tema",
                                          QStringLiteral("bancos/real%1").arg(i), "--crudo",
                                          b.dir.filePath(QStringLiteral("real%1.bin").arg(i)), "--muestras",
                                          QString::number(total)} + b.brokerArgs());
    }
    runUntil([&] { return hear().count("se graba en") >= benches + real; }, 60);
    const double cpuBefore = cpuSecondsOf(recorder.processId());
    const auto start = Clock::now();
    for (auto &f : feeds)
        f->start(total);
    runUntil([&] {
        for (auto &f : feeds)
            if (f->emitted() < total)
                return false;
        return true;
    }, seconds + 120);
    for (auto &p : publishers)
        p->finish();
    for (auto &l : loggers)
        l->waitForFinished(120000);
    runUntil([&] { return hear().count(") terminó: ") >= benches + real; }, 120);
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSecondsOf(recorder.processId()) - cpuBefore;
    const qint64 peak = peakMemoryKb(recorder.processId());
    ::kill(pid_t(recorder.processId()), SIGTERM);
    recorder.waitForFinished(60000);
    hear();

    quint64 expected = 0;
    for (quint64 i = 0; i < total; ++i)
        expected = expected * 31 + TestFeed::valueAt(i);
    int equal = 0;
    for (int i = 0; i < benches; ++i) {
        const QDir folder(out + QStringLiteral("/bancos%2Fb") + QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0')));
        const QStringList raws = folder.entryList({QStringLiteral("*.bin")}, QDir::Files);
        QFile f(folder.filePath(raws.value(0)));
        if (raws.size() == 1 && f.open(QIODevice::ReadOnly)) {
            const QByteArray got = f.readAll();
            equal += got.size() == qsizetype(2 * total) && checksumOf(got) == expected;
        }
    }
    int realEqual = 0;
    for (int i = 0; i < real; ++i) {
        const QDir folder(out + QStringLiteral("/bancos%2Freal") + QString::number(i));
        const QStringList raws = folder.entryList({QStringLiteral("*.bin")}, QDir::Files);
        QFile mine(b.dir.filePath(QStringLiteral("real%1.bin").arg(i))), theirs(folder.filePath(raws.value(0)));
        if (raws.size() == 1 && mine.open(QIODevice::ReadOnly) && theirs.open(QIODevice::ReadOnly)) {
            const QByteArray local = mine.readAll();
            realEqual += local.size() == qsizetype(2 * total) && local == theirs.readAll();
        }
    }
    for (auto &board : boards) {
        board->kill();
        board->waitForFinished(5000);
    }
    const int exit = recorder.exitStatus() == QProcess::NormalExit ? recorder.exitCode() : -1;
    if (flat)
        row(QStringLiteral("Lab recorder flat out: %1 benches, raw only").arg(benches),
            QStringLiteral("%1 samples/s in all; %2 of %3 equal; CPU %4 % of a core; exit %5")
                .arg(double(total) * benches / secs, 0, 'f', 0).arg(equal).arg(benches)
                .arg(100 * cpu / secs, 0, 'f', 0).arg(exit),
            QStringLiteral("lossless"));
    else
        row(QStringLiteral("Lab recorder: %1 benches at 5760 samples/s, %2 s").arg(benches + real).arg(seconds),
            QStringLiteral("%1 of %2 raw files equal (%3 of %4 real loggers); CPU %5 % of a core; peak %6 MB; exit %7")
                .arg(equal + realEqual).arg(benches + real).arg(realEqual).arg(real)
                .arg(100 * cpu / secs, 0, 'f', 1).arg(peak / 1024).arg(exit),
            QStringLiteral("lossless, <= 50 % of a core"));
    if (equal != benches || realEqual != real)
        std::fprintf(stderr, "%s\n", said.right(3000).constData());
}

} // namespace bench
