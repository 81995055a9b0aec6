// The remote recorder at 1.2 MB/s, quiet and under attack: while it records a bench, a third
// client publishes stray batches on TEMA/muestras (other sessions, indices far ahead, payloads
// that do not read) and floods TEMA/pedido with requests for everything. Printed: the recorder's
// CPU and peak memory, the bench's CPU, whether the recording is complete and equal to the
// bench's raw file, and what the bench sent again. Figures only; nothing is asserted.

#include "batchformat.h"
#include "mqttclient.h"
#include "mqttrows.h"
#include "publishing.h"
#include "mqttpublisher.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>

namespace bench {

namespace {

constexpr quint64 kRunSamples = 12'000'000; // 20 s at 1.2 MB/s
constexpr int kStrays = 1000;
constexpr int kRequests = 2000;
constexpr int kAttackSteps = 100; // one every 20 ms: the flood lasts 2 s
constexpr int kStepMs = 20;

qint64 unixNanosNow()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

Batch madeUp(quint64 session, quint64 first, quint32 count)
{
    Batch b;
    b.session = session;
    b.first = first;
    const qint64 t = unixNanosNow();
    for (quint32 i = 0; i < count; ++i)
        b.append(quint16(i * 7), t + qint64(i / 64) * 1000);
    return b;
}

// A payload that is not a batch this program reads, of six kinds.
QByteArray unreadable(int k, quint64 session)
{
    QByteArray p = madeUp(session, quint64(k) * 1000, 256).encode();
    switch (k % 6) {
    case 0: p[0] = 'X'; break;                                           // magic
    case 1: p.truncate(20); break;                                       // header cut short
    case 2: qToLittleEndian<quint32>(100000, p.data() + 24); break;      // count past the payload
    case 3: qToLittleEndian<quint64>(0, p.data() + 8); break;            // session 0
    case 4: qToLittleEndian<qint64>(-5, p.data() + 40 + 2 * 256 + 4); break; // a step before the first
    default: p = QByteArrayLiteral("{\"no\":\"es un lote\"}"); break;
    }
    return p;
}

// Stray batch number k: a fifth each of other sessions (newer, then older), the session's own
// indices implausibly far ahead (up to past 2^63), indices just past the run's end (plausible,
// so they wait in the recorder's memory), and unreadable payloads.
QByteArray stray(int k, quint64 session, quint64 runSamples)
{
    const quint64 kk = quint64(k);
    switch (k % 5) {
    case 0: return madeUp(session + 1 + kk, kk * 4096, 4096).encode();
    case 1: return madeUp(session ^ 0x5a5a5a5a5a5a5a5aull, kk * 4096, 4096).encode();
    case 2: {
        const quint64 first = k % 2 ? (quint64(1) << 62) + kk * 5'000'000 : (quint64(1) << 40) + kk * 65536;
        return madeUp(session, k % 20 == 17 ? batchformat::kIndexLimit - 100 : first, 16384).encode();
    }
    case 3: return madeUp(session, runSamples + 1000 + kk * 20000, 16384).encode();
    default: return unreadable(k / 5, session);
    }
}

// The child: publishes the attack when told ("ataca" on stdin) and counts, on the same
// connection, the batches of the session that came again and the answers to requests.
class Attacker : public QObject
{
public:
    Attacker(const MqttBroker &broker, const QString &topic, quint64 session, quint64 samples)
        : m_client(broker, QStringLiteral("mqttbench-ataque")), m_topic(topic), m_session(session), m_samples(samples),
          m_stdin(STDIN_FILENO, QSocketNotifier::Read)
    {
        m_client.subscribe(topic + QStringLiteral("/muestras"));
        m_client.subscribe(topic + QStringLiteral("/pedido"));
        connect(&m_client, &MqttClient::connected, this, [] { say("listo"); });
        connect(&m_client, &MqttClient::messageReceived, this, &Attacker::heard);
        connect(&m_client, &MqttClient::acknowledged, this, [this] {
            if (++m_acked == kStrays + kRequests)
                say("hecho");
        });
        connect(&m_stdin, &QSocketNotifier::activated, this, &Attacker::command);
        m_steps.setInterval(kStepMs);
        connect(&m_steps, &QTimer::timeout, this, &Attacker::step);
        m_client.start();
    }

private:
    static void say(const char *line)
    {
        std::puts(line);
        std::fflush(stdout);
    }

    void command()
    {
        char buf[64];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n > 0 && QByteArray(buf, int(n)).contains("ataca")) {
            m_steps.start();
            return;
        }
        std::printf("reenviados %llu %llu respuestas %llu\n", m_resentBytes, m_resentBatches, m_answers);
        std::fflush(stdout);
        QCoreApplication::exit(0);
    }

    void step()
    {
        const QString samples = m_topic + QStringLiteral("/muestras");
        const QString requests = m_topic + QStringLiteral("/pedido");
        const QByteArray request = QStringLiteral("{\"sesion\":%1,\"primera\":0,\"cuantas\":1e12}").arg(m_session).toUtf8();
        for (int i = 0; i < kStrays / kAttackSteps; ++i)
            m_client.publish(samples, stray(m_strays++, m_session, m_samples), 1, false);
        for (int i = 0; i < kRequests / kAttackSteps; ++i)
            m_client.publish(requests, request, 1, false);
        if (m_strays >= kStrays)
            m_steps.stop();
    }

    // A batch of the session below the run's end that starts before the furthest one seen is
    // one sent again (the bench sends in order otherwise).
    void heard(const QString &topic, const QByteArray &payload, bool)
    {
        if (topic.endsWith(u"/pedido")) {
            m_answers += payload.contains("disponible");
            return;
        }
        if (payload.size() < batchformat::kHeaderSize || !payload.startsWith("DVMQ"))
            return;
        const uchar *p = reinterpret_cast<const uchar *>(payload.constData());
        const quint64 first = qFromLittleEndian<quint64>(p + 16);
        const quint64 end = first + qFromLittleEndian<quint32>(p + 24);
        if (qFromLittleEndian<quint64>(p + 8) != m_session || end > m_samples || end < first)
            return;
        if (first < m_furthest) {
            m_resentBytes += quint64(payload.size());
            ++m_resentBatches;
        }
        m_furthest = std::max(m_furthest, end);
    }

    MqttClient m_client;
    QString m_topic;
    quint64 m_session;
    quint64 m_samples;
    QSocketNotifier m_stdin;
    QTimer m_steps;
    int m_strays = 0;
    int m_acked = 0;
    quint64 m_furthest = 0;
    unsigned long long m_resentBytes = 0, m_resentBatches = 0, m_answers = 0;
};

// User + system CPU of the children reaped so far: for one child, the count its /proc/PID/stat
// showed, taken at its exit.
double childrenCpu()
{
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The peak resident memory of a process so far (VmHWM), in MiB; 0 once it has gone.
double peakOf(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
    return 0;
}

struct Figures
{
    double recorderCpu = 0; // seconds
    double recorderPeakMiB = 0;
    double benchPercent = 0;
    double wall = 0;
    bool ended = false;    // the recorder ended by itself
    int exitCode = -1;
    bool equal = false;    // its raw file is the bench's, and the samples fed
    bool attackInRun = false;
    QByteArray resent;     // the child's last line
    QByteArray recorderSays;
};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Trial
{
    Trial(Bench &bench, bool attacked) : b(bench), attack(attacked) {}
    Bench &b;
    bool attack;
    Figures f;
    QByteArray errors, out;
    QProcess recorder, attacker;

    void startChildren(const char *self, const QString &topic, const QString &remoteRaw, quint64 session)
    {
        recorder.start(QStringLiteral(DISPVANTO_BINARY),
                       QStringList{"--sin-ventanas", "--desde-mqtt", topic, "--crudo", remoteRaw, "--muestras",
                                   QString::number(kRunSamples)} + b.brokerArgs());
        attacker.start(QString::fromLocal8Bit(self),
                       {"atacar", QString::number(b.broker->port()), topic, b.passwordFile, QString::number(session),
                        QString::number(kRunSamples)});
        runUntil([&] {
            errors += recorder.readAllStandardError();
            out += attacker.readAllStandardOutput();
            return errors.contains("en línea") && out.contains("listo");
        }, 30);
    }

    // Fed at 1.2 MB/s until the recorder ends (or 120 s); the attack once a sixth has gone.
    void feed(Pipeline &p)
    {
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &watch,
                         [&] { f.recorderPeakMiB = std::max(f.recorderPeakMiB, peakOf(recorder.processId())); });
        watch.start(50);
        Feeder feeder(p.pty.masterFd(), kRunSamples, 1.2e6);
        const double children0 = childrenCpu();
        const double cpu0 = processCpu();
        const auto start = Clock::now();
        bool told = false;
        feeder.start();
        f.ended = runUntil([&] {
            errors += recorder.readAllStandardError();
            out += attacker.readAllStandardOutput();
            if (attack && !told && feeder.sentSamples() >= kRunSamples / 6)
                told = attacker.write("ataca\n") > 0;
            return recorder.state() == QProcess::NotRunning;
        }, 120);
        f.wall = std::chrono::duration<double>(Clock::now() - start).count();
        f.attackInRun = out.contains("hecho");
        if (!f.ended) {
            recorder.kill();
            recorder.waitForFinished(5000);
        }
        feeder.stop();
        feeder.join();
        f.benchPercent = 100 * (processCpu() - cpu0 - feeder.cpu()) / f.wall;
        f.recorderCpu = childrenCpu() - children0;
        f.exitCode = f.ended ? recorder.exitCode() : -1;
        errors += recorder.readAllStandardError();
    }

    void finishChildren()
    {
        attacker.write("fin\n");
        runUntil([&] { return (out += attacker.readAllStandardOutput()).contains("reenviados"); }, 10);
        attacker.waitForFinished(5000);
        f.resent = out.mid(out.indexOf("reenviados")).trimmed();
        // What the recorder said: how much, and its summary (the last line).
        const QList<QByteArray> lines = errors.trimmed().split('\n');
        f.recorderSays = QByteArray("      recorder, ") + QByteArray::number(lines.size()) + " lines on stderr, the last: "
                         + lines.last() + '\n';
    }
};

Figures measure(Bench &b, const char *self, bool attack)
{
    const QString topic = attack ? QStringLiteral("bench/ataque") : QStringLiteral("bench/tranquilo");
    const QString benchRaw = b.dir.filePath(topic.section(u'/', 1) + QStringLiteral("-banco.bin"));
    const QString remoteRaw = b.dir.filePath(topic.section(u'/', 1) + QStringLiteral("-remoto.bin"));
    Pipeline p;
    receptionOn(p);
    p.program->record({}, QFile::encodeName(benchRaw));
    p.program->publish(b.options(topic), QStringLiteral("COM1"), QFile::encodeName(benchRaw));
    Trial run(b, attack);
    run.startChildren(self, topic, remoteRaw, p.program->publishing()->publisher().session());
    run.feed(p);
    run.finishChildren();
    p.finish();
    const QByteArray remote = readAll(remoteRaw);
    run.f.equal = remote.size() == qsizetype(2 * kRunSamples) && remote == readAll(benchRaw).left(remote.size())
                  && checksumOf(remote) == checksumOfFirst(kRunSamples);
    return run.f;
}

void print(const QString &what, const Figures &f, bool attack)
{
    const QList<QByteArray> w = f.resent.split(' ');
    row(QStringLiteral("remote recorder 1.2 MB/s, %1").arg(what),
        QStringLiteral("CPU %1 s (%2 % of a core), VmHWM %3 MiB")
            .arg(f.recorderCpu, 0, 'f', 1).arg(100 * f.recorderCpu / f.wall, 0, 'f', 1).arg(f.recorderPeakMiB, 0, 'f', 0),
        QStringLiteral("printed"));
    const QString ending = !f.ended ? QStringLiteral("HUNG (killed after 120 s)")
                           : f.exitCode == 0 ? QStringLiteral("complete") : QStringLiteral("INCOMPLETE (status %1)").arg(f.exitCode);
    row(QStringLiteral("  bench CPU; recording; bench re-sent"),
        QStringLiteral("%1 %; %2, raw %3; %4 MB in %5 batches, %6 answers%7")
            .arg(f.benchPercent, 0, 'f', 1).arg(ending, f.equal ? QStringLiteral("equal") : QStringLiteral("DIFFERS"))
            .arg(w.size() >= 5 ? w[1].toDouble() / 1e6 : -1, 0, 'f', 1).arg(QString::fromLatin1(w.value(2, "?")))
            .arg(QString::fromLatin1(w.value(4, "?")))
            .arg(attack && !f.attackInRun ? QStringLiteral(", ATTACK NOT DONE IN THE RUN") : QString()),
        QStringLiteral("lossless"));
    std::fputs(f.recorderSays.constData(), stdout);
    std::fflush(stdout);
}

} // namespace

void recorderUnderAttack(Bench &b, const char *self)
{
    print(QStringLiteral("%1 M samples, quiet").arg(kRunSamples / 1'000'000), measure(b, self, false), false);
    print(QStringLiteral("%1 strays, %2 pedidos").arg(kStrays).arg(kRequests), measure(b, self, true), true);
}

int attackChild(const QStringList &args)
{
    Attacker attacker(brokerAt(quint16(args.at(2).toUInt()), args.at(4)), args.at(3), args.at(5).toULongLong(),
                      args.at(6).toULongLong());
    return QCoreApplication::exec();
}

} // namespace bench
