// Recording a remote bench, end to end: the simulated board, the real program publishing what it
// records to a Mosquitto of the test's own, and the real program recording it from the broker
// (--desde-mqtt). The remote files must be the local ones, whatever happens to the broker.
#include "mqttpublisher.h"
#include "mqtttestsupport.h"
#include "recordingsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kTimeout = 30000;
const QString kTopic = QStringLiteral("lab/banco3");

enum class Trouble { None, Stopped, Killed, Late };

QStringList brokerArgs(const TestBroker &broker, const QString &passwordFile)
{
    return {"--mqtt", QStringLiteral("127.0.0.1:%1").arg(broker.port()), "--mqtt-usuario", TestBroker::kUser,
            "--mqtt-clave-archivo", passwordFile};
}

// Rows of the CSV as text, without the comment lines: what a user compares.
QList<QByteArray> rowsOf(const QString &path, qint64 count)
{
    QList<QByteArray> rows;
    for (const QByteArray &line : readAll(path).split('\n'))
        if (!line.isEmpty() && !line.startsWith('#') && rows.size() <= count)
            rows << line;
    return rows;
}

} // namespace

Q_DECLARE_METATYPE(Trouble)

class TestRemoteBench : public QObject
{
    Q_OBJECT
private slots:
    void remoteRecordingIsTheLocalOne_data();
    void remoteRecordingIsTheLocalOne();
    void gapThatCannotBeFilledIsNamedAndFails();
};

void TestRemoteBench::remoteRecordingIsTheLocalOne_data()
{
    QTest::addColumn<QStringList>("board");
    QTest::addColumn<qint64>("samples");
    QTest::addColumn<Trouble>("trouble");
    const QStringList paced{"--baud", "115200"};
    QTest::newRow("a toda velocidad") << QStringList{"--flat"} << qint64(300000) << Trouble::None;
    QTest::newRow("a 115200 baudios") << paced << qint64(20000) << Trouble::None;
    QTest::newRow("broker detenido (SIGTERM) y vuelto a arrancar") << paced << qint64(30000) << Trouble::Stopped;
    QTest::newRow("broker matado (SIGKILL) y vuelto a arrancar") << paced << qint64(30000) << Trouble::Killed;
    QTest::newRow("broker ausente al empezar, arrancado 3 s después") << paced << qint64(30000) << Trouble::Late;
}

// The remote recorder ends once samples 0 … N−1 have all arrived, with its raw file byte for
// byte the publisher's and the same CSV rows, values and times alike, and the publisher's
// device, settings and start in its header. A broker that goes away (cleanly or killed) or
// comes late costs nothing: what it missed is sent again.
void TestRemoteBench::remoteRecordingIsTheLocalOne()
{
    QFETCH(QStringList, board);
    QFETCH(qint64, samples);
    QFETCH(Trouble, trouble);
    QTemporaryDir dir;
    const QString localCsv = dir.filePath("local.csv"), localRaw = dir.filePath("local.bin");
    const QString remoteCsv = dir.filePath("remoto.csv"), remoteRaw = dir.filePath("remoto.bin");
    TestBroker broker(dir.path(), {});
    if (trouble != Trouble::Late) {
        const QString started = broker.start();
        QVERIFY2(started.isEmpty(), qPrintable(started));
    }
    const QStringList mqtt = brokerArgs(broker, writePasswordFile(dir.path(), TestBroker::kPassword));
    Board sim(board);
    QVERIFY(!sim.path.isEmpty());

    RunningProgram remote;
    remote.start(QStringList{"--sin-ventanas", "--desde-mqtt", kTopic, "--registro", remoteCsv, "--crudo", remoteRaw,
                             "--muestras", QString::number(samples)} + mqtt);
    // With trouble the publisher runs on until the test ends it, so it is there to send again.
    QStringList publish{"--sin-ventanas", "--com1", sim.path, "--config", "115200,N,8,1", "--mqtt-tema", kTopic,
                        "--registro", localCsv, "--crudo", localRaw};
    if (trouble == Trouble::None)
        publish << "--muestras" << QString::number(samples);
    RunningProgram local;
    local.start(publish + mqtt);

    const QString lost = QStringLiteral("se perdió la conexión con el broker 127.0.0.1:%1").arg(broker.port());
    const QString absent = QStringLiteral("no se puede conectar con el broker 127.0.0.1:%1").arg(broker.port());
    if (trouble == Trouble::Stopped || trouble == Trouble::Killed) {
        QTRY_VERIFY_WITH_TIMEOUT(linesIn(remoteCsv) > 2000, kTimeout); // the remote side is recording
        trouble == Trouble::Killed ? broker.kill() : broker.stop();
        QTRY_VERIFY2_WITH_TIMEOUT(local.errors().contains(lost) && remote.errors().contains(lost),
                                  qPrintable(local.errors() + remote.errors()), kTimeout);
        const qint64 atLoss = linesIn(localCsv);
        QTRY_VERIFY_WITH_TIMEOUT(linesIn(localCsv) > atLoss + 6000, kTimeout); // samples pile up meanwhile
    } else if (trouble == Trouble::Late) {
        QTRY_VERIFY2_WITH_TIMEOUT(local.errors().contains(absent) && remote.errors().contains(absent),
                                  qPrintable(local.errors() + remote.errors()), kTimeout);
        QTRY_VERIFY_WITH_TIMEOUT(linesIn(localCsv) > 17280, kTimeout); // 3 s at 115200 baud
    }
    if (trouble != Trouble::None) {
        const QString started = broker.start();
        QVERIFY2(started.isEmpty(), qPrintable(started));
    }

    QCOMPARE(remote.wait(), 0);
    if (trouble != Trouble::None)
        local.process.terminate(); // a clean end, as a user's Ctrl+C
    QCOMPARE(local.wait(), 0);
    const QString remoteErrors = remote.errors();
    QVERIFY2(remoteErrors.contains(QStringLiteral("%1 muestras grabadas en %2").arg(samples).arg(remoteCsv)),
             qPrintable(remoteErrors));
    QVERIFY2(!remoteErrors.contains(QStringLiteral("Faltan")), qPrintable(remoteErrors));

    const QByteArray raw = readAll(remoteRaw);
    QCOMPARE(raw.size(), 2 * samples);
    QVERIFY(raw == readAll(localRaw).left(2 * samples)); // not QCOMPARE: a megabyte of difference helps nobody
    QVERIFY(raw == boardBytes(0, samples));
    const QList<QByteArray> rows = rowsOf(remoteCsv, samples);
    QCOMPARE(rows.size(), samples + 1); // the column names and a row per sample
    QVERIFY(rows == rowsOf(localCsv, samples));
    const Csv l = readCsv(localCsv), r = readCsv(remoteCsv);
    QVERIFY(r.damaged.isEmpty());
    for (const char *key : {"inicio", "dispositivo", "configuración"})
        QCOMPARE(r.header(key), l.header(key));
    QCOMPARE(r.header("dispositivo"), sim.path + QStringLiteral(" (COM1)"));
    QVERIFY(!r.header("sesión").isEmpty());
    // Told once at each end, however often it tried again.
    const QString told = trouble == Trouble::Late ? absent : trouble == Trouble::None ? QString() : lost;
    if (!told.isEmpty()) {
        QCOMPARE(local.errors().count(told), 1);
        QCOMPARE(remote.errors().count(told), 1);
    }
}

// A bench whose sending memory overflowed while no broker was there no longer has its first
// samples: the remote recorder asks for them, is told they are gone, and says so at that place
// in the CSV, names the gap in its summary and fails; every other sample is there.
void TestRemoteBench::gapThatCannotBeFilledIsNamedAndFails()
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    constexpr quint64 kSamples = 40000;
    TestFeed feed(37, 4, 5);
    MqttPublisher publisher(broker.settings(), kTopic, feed.context());
    publisher.setMemoryLimit(16 * 1024);
    feed.addConsumer(&publisher);
    QSignalSpy lost(&publisher, &MqttPublisher::samplesLost);
    feed.start(kSamples); // no broker yet: the oldest batches go
    QTRY_VERIFY_WITH_TIMEOUT(feed.emitted() == kSamples, kTimeout);
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));

    const QString csv = dir.filePath("remoto.csv");
    RunningProgram remote;
    remote.start(QStringList{"--sin-ventanas", "--desde-mqtt", kTopic, "--registro", csv, "--muestras",
                             QString::number(kSamples)}
                 + brokerArgs(broker, writePasswordFile(dir.path(), TestBroker::kPassword)));
    QTRY_VERIFY_WITH_TIMEOUT(broker.log().contains("as dvrec"), kTimeout); // it listens
    publisher.start();
    // The publisher answers from this process: its event loop runs while the recorder works.
    QTRY_COMPARE_WITH_TIMEOUT(remote.process.state(), QProcess::NotRunning, kTimeout);
    QCOMPARE(remote.wait(), 1);
    quint64 gone = 0; // told a second at a time as it happened: together, the oldest samples
    for (const auto &l : lost) {
        QCOMPARE(l.at(0).toULongLong(), gone);
        gone += l.at(1).toULongLong();
    }
    QVERIFY(gone > 0 && gone < kSamples);
    const QString errors = remote.errors();
    const QString named = QStringLiteral("Faltan %1 muestras que no llegaron por la red: 0 a %2.").arg(gone).arg(gone - 1);
    QVERIFY2(errors.contains(named), qPrintable(errors));
    const Csv c = readCsv(csv);
    QCOMPARE(c.comments.filter(QStringLiteral("antes de la primera muestra): faltan %1 muestras (0 a %2) que no "
                                              "llegaron por la red").arg(gone).arg(gone - 1)).size(), 1);
    QCOMPARE(quint64(c.values.size()), kSamples - gone);
    QCOMPARE(c.numbers.first(), qint64(gone)); // the bench's numbers, not a count of the rows
    QCOMPARE(c.numbers.last(), qint64(kSamples - 1));
    QCOMPARE(c.values.first(), int(TestFeed::valueAt(gone)));
    QCOMPARE(c.values.last(), int(TestFeed::valueAt(kSamples - 1)));
}

QTEST_GUILESS_MAIN(TestRemoteBench)
#include "test_remotebench.moc"
