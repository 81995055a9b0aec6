#include "remotefaultsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QTimeZone>

namespace remotefaults {

QStringList mqttArgs(quint16 port, const QString &passwordFile)
{
    return {"--mqtt", QStringLiteral("127.0.0.1:%1").arg(port), "--mqtt-usuario", TestBroker::kUser,
            "--mqtt-clave-archivo", passwordFile};
}

QList<QByteArray> rowsOf(const QString &path)
{
    QList<QByteArray> rows;
    for (const QByteArray &line : readAll(path).split('\n'))
        if (!line.isEmpty() && !line.startsWith('#'))
            rows << line;
    return rows;
}

int endOf(RunningProgram &p, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (p.process.state() != QProcess::NotRunning && clock.elapsed() < ms)
        QTest::qWait(20);
    return p.wait(0);
}

SessionMeta craftedMeta(quint64 session)
{
    SessionMeta meta;
    meta.format = 1;
    meta.encoding = QStringLiteral("u16le");
    meta.program = QStringLiteral("dispvanto 1.2.0");
    meta.device = QStringLiteral("/dev/ttyUSB0");
    meta.settings = QStringLiteral("115200,N,8,1");
    meta.port = QStringLiteral("COM1");
    meta.session = session;
    meta.clockZeroUnixNanos = TestFeed::kUnixBase;
    meta.startUnixNanos = TestFeed::kUnixBase;
    meta.start = QDateTime::fromMSecsSinceEpoch(TestFeed::kUnixBase / 1000000, QTimeZone::utc());
    return meta;
}

bool flood(Crafter &crafter, quint64 session)
{
    const QByteArray request = R"({"sesion":)" + QByteArray::number(session) + R"(,"primera":0,"cuantas":1e12})";
    for (int burst = 0; burst < 20; ++burst) {
        for (int i = 0; i < 100; ++i)
            if (crafter.client.publish(kTopic + QStringLiteral("/pedido"), request, 1, false) < 0)
                return false;
        QTest::qWait(100);
    }
    return true;
}

double allowedResend(qint64 elapsedMs)
{
    constexpr double kRate = double(8 << 20); // bytes a second, and the burst
    return 1.25 * kRate * (1.0 + double(elapsedMs) / 1000.0);
}

Batch craftedBatch(quint64 session, quint64 first, quint64 count)
{
    Batch b;
    b.session = session;
    b.first = first;
    b.values.assign(count, 1234);
    b.times = {{0, TestFeed::kUnixBase}};
    return b;
}

Crafter::Crafter(const TestBroker &broker, const QStringList &listen)
    : client(broker.settings(), QStringLiteral("prueba-intrusa"))
{
    for (const QString &t : listen)
        client.subscribe(kTopic + u'/' + t);
}

bool Crafter::connect()
{
    client.start();
    return QTest::qWaitFor([this] { return client.isConnected(); }, kTimeout);
}

bool Crafter::send(const QString &subtopic, const QByteArray &payload, bool retain)
{
    const qsizetype before = acked.size();
    if (client.publish(kTopic + u'/' + subtopic, payload, 1, retain) < 0)
        return false;
    return QTest::qWaitFor([&] { return acked.size() > before; }, kTimeout);
}

QList<QByteArray> Crafter::payloadsOn(const QString &subtopic) const
{
    QList<QByteArray> out;
    for (const QList<QVariant> &m : heard)
        if (m.at(0).toString() == kTopic + u'/' + subtopic)
            out << m.at(1).toByteArray();
    return out;
}

bool Crafter::heardOn(const QString &subtopic, const QString &start, const QString &end) const
{
    for (const QByteArray &p : payloadsOn(subtopic))
        if (QString::fromUtf8(p).startsWith(start) && QString::fromUtf8(p).endsWith(end))
            return true;
    return false;
}

bool Crafter::refusedAsNotYetThere(quint64 first) const
{
    for (const QByteArray &p : payloadsOn(QStringLiteral("pedido")))
        if (const auto a = ResendRequest::fromJson(p); a && a->unavailable && a->first == first && a->heldEnd)
            return *a->heldEnd < first;
    return false;
}

BenchAndRecorder::BenchAndRecorder(const QTemporaryDir &dir)
    : password(writePasswordFile(dir.path(), TestBroker::kPassword)),
      localCsv(dir.filePath("local.csv")),
      localRaw(dir.filePath("local.bin")),
      remoteCsv(dir.filePath("remoto.csv")),
      remoteRaw(dir.filePath("remoto.bin"))
{
}

void BenchAndRecorder::startRecorder(quint16 port, qint64 n)
{
    recorder.start(QStringList{"--sin-ventanas", "--desde-mqtt", kTopic, "--registro", remoteCsv, "--crudo", remoteRaw,
                               "--muestras", QString::number(n)}
                   + mqttArgs(port, password));
}

void BenchAndRecorder::startBench(quint16 port, qint64 n)
{
    bench.start(QStringList{"--sin-ventanas", "--com1", device, "--config", "115200,N,8,1", "--mqtt-tema", kTopic,
                            "--registro", localCsv, "--crudo", localRaw, "--muestras", QString::number(n)}
                + mqttArgs(port, password));
}

void BenchAndRecorder::checkSame(qint64 n)
{
    QCOMPARE(endOf(bench), 0);
    QCOMPARE(endOf(recorder), 0);
    const QString errors = recorder.errors();
    QVERIFY2(errors.contains(QStringLiteral("%1 muestras grabadas en %2").arg(n).arg(remoteCsv)), qPrintable(errors));
    QVERIFY2(!errors.contains(QStringLiteral("Faltan")), qPrintable(errors));
    QCOMPARE(readAll(remoteRaw).size(), 2 * n);
    QVERIFY(readAll(remoteRaw) == readAll(localRaw)); // not QCOMPARE: megabytes of difference help nobody
    const QList<QByteArray> rows = rowsOf(remoteCsv);
    QCOMPARE(rows.size(), n + 1); // the column names and a row per sample
    QVERIFY(rows == rowsOf(localCsv));
}

quint64 BenchAndRecorder::session() const
{
    return readCsv(remoteCsv).header(QStringLiteral("sesión")).toULongLong();
}

} // namespace remotefaults
