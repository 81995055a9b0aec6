// What a user sees of publishing: a broker that refuses us leaves the local recording whole and
// says why once; a subscriber sees the bench's state as it changes, the retained meta and state
// when it comes late, and "fuera de línea" after a clean end or a kill -9. The windowed program
// publishes as the logger does.
#include "mqttpublisher.h"
#include "mqttsource.h"
#include "mqtttestsupport.h"
#include "program.h"
#include "publishing.h"
#include "recorder.h"
#include "recordingsupport.h"
#include "testpty.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

constexpr int kTimeout = 30000;
const QString kTopic = QStringLiteral("lab/banco4");

QStringList statesSeen(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toString();
    return out;
}

PortChoice com1On(const Pty &pty)
{
    PortChoice ports;
    ports.com1 = pty.slavePath().toLocal8Bit();
    return ports;
}

/// The windowed program on a pseudo-terminal, recording to local.csv and publishing to the
/// broker under kTopic; its port is not open yet.
struct PublishingProgram
{
    PublishingProgram(const QTemporaryDir &dir, const TestBroker &broker)
        : csv(dir.filePath("local.csv")), program(&reporter, dir.filePath("serphcn.cmm"), com1On(pty))
    {
        program.record(QFile::encodeName(csv), {});
        MqttOptions mqtt;
        mqtt.broker = broker.settings();
        mqtt.topic = kTopic;
        program.publish(mqtt, QStringLiteral("COM1"));
    }

    Pty pty;
    RecordingReporter reporter;
    const QString csv;
    Program program;
};

} // namespace

class TestRemoteState : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void refusedBrokerLeavesTheLocalRecordingWhole_data();
    void refusedBrokerLeavesTheLocalRecordingWhole();
    void subscribersSeeTheBenchState();
    void windowedProgramPublishesAndSaysGoodbye();
    void samplesTheBrokerNeverGotAreNotedInTheLocalCsv();
    void publishingAloneStopsAtTheSamplesAsked();

private:
    QTemporaryDir m_certFolder;
    TestCertificates m_certs;
};

void TestRemoteState::initTestCase()
{
    QVERIFY(m_certFolder.isValid());
    const QString error = m_certs.make(m_certFolder.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestRemoteState::refusedBrokerLeavesTheLocalRecordingWhole_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("reason");
    QTest::newRow("clave equivocada") << false << QByteArray("otra-clave")
                                      << QStringLiteral("usuario o contraseña rechazados");
    QTest::newRow("CA equivocada") << true << TestBroker::kPassword
                                   << QStringLiteral("el certificado del broker no está firmado por la autoridad del "
                                                     "archivo de --mqtt-ca");
}

void TestRemoteState::refusedBrokerLeavesTheLocalRecordingWhole()
{
    QFETCH(bool, tls);
    QFETCH(QByteArray, password);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    TestBroker::Options options;
    options.tls = tls ? &m_certs : nullptr;
    TestBroker broker(dir.path(), options);
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    Board sim({"--baud", "115200"});
    QVERIFY(!sim.path.isEmpty());
    constexpr qint64 n = 12000; // about two seconds: the refusal comes long before the end
    const QString csv = dir.filePath("local.csv"), raw = dir.filePath("local.bin");
    QStringList args{"--sin-ventanas", "--com1", sim.path, "--config", "115200,N,8,1", "--registro", csv, "--crudo",
                     raw, "--muestras", QString::number(n), "--mqtt", QStringLiteral("127.0.0.1:%1").arg(broker.port()),
                     "--mqtt-usuario", TestBroker::kUser, "--mqtt-clave-archivo", writePasswordFile(dir.path(), password)};
    if (tls)
        args << "--mqtt-ca" << m_certs.otherCa;
    RunningProgram local;
    local.start(args);
    // What was asked of the port was all written; the publishing asked for too was not done.
    QCOMPARE(local.wait(), 1);
    const QString errors = local.errors();
    QVERIFY2(errors.contains(QStringLiteral("No todo llegó al broker 127.0.0.1:%1: %2 de %2 muestras sin confirmar")
                                 .arg(broker.port()).arg(n)),
             qPrintable(errors));
    const QString name = QStringLiteral("127.0.0.1:%1").arg(broker.port());
    qsizetype told = 0; // lines that name the broker and say why; once, however often it tried again
    for (const QString &line : errors.split(u'\n'))
        told += line.contains(name) && line.contains(reason);
    QVERIFY2(told == 1, qPrintable(errors));
    QVERIFY(!errors.contains(QString::fromUtf8(password)));
    QCOMPARE(readAll(raw), boardBytes(0, n));
    QCOMPARE(readCsv(csv).values, boardValues(0, n));
}

// The state a dashboard shows: "en línea" while the bench publishes, "dispositivo perdido" when
// its board goes (it keeps waiting for it with --reconectar), and "fuera de línea" from the
// broker's will after a kill -9. A subscriber that comes afterwards finds the retained meta
// (device, settings) and state.
void TestRemoteState::subscribersSeeTheBenchState()
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    MqttSource watcher(broker.settings(), kTopic);
    QSignalSpy states(&watcher, &MqttSource::stateChanged);
    watcher.start();
    QTRY_VERIFY_WITH_TIMEOUT(watcher.client().isConnected(), kTimeout);

    auto sim = std::make_unique<Board>(QStringList{"--baud", "115200"});
    const QString device = sim->path;
    QVERIFY(!device.isEmpty());
    RunningProgram bench;
    bench.start({"--sin-ventanas", "--com1", device, "--config", "115200,N,8,1", "--reconectar", "--registro",
                 dir.filePath("banco.csv"), "--mqtt", QStringLiteral("127.0.0.1:%1").arg(broker.port()),
                 "--mqtt-usuario", TestBroker::kUser, "--mqtt-clave-archivo",
                 writePasswordFile(dir.path(), TestBroker::kPassword), "--mqtt-tema", kTopic});
    QTRY_VERIFY_WITH_TIMEOUT(watcher.publisherState() == MqttPublisher::kOnline && watcher.next() > 1000, kTimeout);
    sim.reset(); // the board goes away
    QTRY_COMPARE_WITH_TIMEOUT(watcher.publisherState(), MqttPublisher::kDeviceLost, kTimeout);
    ::kill(pid_t(bench.process.processId()), SIGKILL);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.publisherState(), MqttPublisher::kOffline, kTimeout);
    QCOMPARE(statesSeen(states), (QStringList{MqttPublisher::kOnline, MqttPublisher::kDeviceLost, MqttPublisher::kOffline}));

    MqttSource late(broker.settings(), kTopic);
    late.start();
    QTRY_VERIFY_WITH_TIMEOUT(late.hasMeta() && !late.publisherState().isEmpty(), kTimeout);
    QCOMPARE(late.publisherState(), MqttPublisher::kOffline);
    QCOMPARE(late.session(), watcher.session());
    QCOMPARE(late.meta().device, device);
    QCOMPARE(late.meta().port, QStringLiteral("COM1"));
    QCOMPARE(late.meta().settings, QStringLiteral("115200,N,8,1"));
    QVERIFY2(late.meta().program.startsWith(QStringLiteral("dispvanto ")), qPrintable(late.meta().program));
}

// The windowed program publishes once its port is opened from the windows, with the device and
// settings in the meta, and the start of its local recording (the port's opening, a moment
// after the program's); its clean end says "fuera de línea" and returns without waiting long.
void TestRemoteState::windowedProgramPublishesAndSaysGoodbye()
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    MqttSource watcher(broker.settings(), kTopic);
    Collector remote;
    watcher.addConsumer(&remote);
    watcher.start();

    PublishingProgram bench(dir, broker);
    QVERIFY(bench.pty.isValid());
    QTest::qWait(50); // the user takes a moment to open the port
    bench.program.acquisition().apply(1, QStringLiteral("115200,N,8,1")); // as Confserie does
    constexpr qint64 n = 3000;
    bench.pty.writeInBackground(boardBytes(0, n));
    QTRY_COMPARE_WITH_TIMEOUT(qint64(remote.samples.size()), n, kTimeout);
    QVERIFY(bench.pty.waitWritten());
    QCOMPARE(remote.values(), boardValues(0, n));
    QCOMPARE(watcher.meta().device, bench.pty.slavePath());
    QCOMPARE(watcher.meta().settings, QStringLiteral("115200,N,8,1"));
    QCOMPARE(watcher.publisherState(), MqttPublisher::kOnline);

    QElapsedTimer clock;
    clock.start();
    QSignalSpy ended(&bench.program.run(), &Run::finished);
    bench.program.finish();
    QVERIFY(ended.wait(2 * Run::kEndWaitMs));
    QVERIFY(clock.elapsed() < Run::kEndWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.publisherState(), MqttPublisher::kOffline, kTimeout);
    QVERIFY2(bench.reporter.failures.isEmpty(), qPrintable(bench.reporter.failures.join(u'\n')));
    // The same start, to the microsecond: a remote recording's times are the local ones.
    QString inicio = readCsv(bench.csv).header(QStringLiteral("inicio"));
    const int micros = inicio.mid(inicio.indexOf(u'.') + 4, 3).toInt();
    inicio.remove(inicio.indexOf(u'.') + 4, 3); // Qt reads milliseconds (and would round the rest)
    const qint64 localMicros = QDateTime::fromString(inicio, Qt::ISODateWithMs).toMSecsSinceEpoch() * 1000 + micros;
    QCOMPARE(watcher.meta().startUnixNanos / 1000, localMicros);
}

// The broker is away and the sending memory fills: the oldest batches go. Once it is back, the
// local CSV says, at that point, which samples never reached it; the recording itself is whole.
void TestRemoteState::samplesTheBrokerNeverGotAreNotedInTheLocalCsv()
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {}); // not started yet
    PublishingProgram bench(dir, broker);
    QVERIFY(bench.pty.isValid());
    bench.program.publishing()->publisher().setMemoryLimit(16 * 1024);
    bench.program.acquisition().apply(1, QStringLiteral("9600,N,8,1"));
    constexpr qint64 n = 40000;
    bench.pty.writeInBackground(boardBytes(0, n));
    QTRY_COMPARE_WITH_TIMEOUT(bench.program.recorder()->samplesRecorded(), quint64(n), kTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(!bench.reporter.failures.filter(QStringLiteral("memoria de envío")).isEmpty(), kTimeout);
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    QTRY_VERIFY_WITH_TIMEOUT(bench.program.publishing()->publisher().isConnected(), kTimeout);
    QSignalSpy ended(&bench.program.run(), &Run::finished);
    bench.program.finish();
    QVERIFY(ended.wait(2 * Run::kEndWaitMs));

    const Csv c = readCsv(bench.csv);
    QCOMPARE(c.values, boardValues(0, n));
    const QStringList notes = c.comments.filter(QStringLiteral("no llegaron al broker MQTT"));
    QCOMPARE(notes.size(), 1);
    const QRegularExpression range(QStringLiteral("tras la muestra %1\\): no llegaron al broker MQTT (\\d+) muestras "
                                                  "\\(0 a (\\d+)\\)").arg(n - 1));
    const QRegularExpressionMatch m = range.match(notes.at(0));
    QVERIFY2(m.hasMatch(), qPrintable(notes.at(0)));
    QCOMPARE(m.captured(2).toLongLong(), m.captured(1).toLongLong() - 1);
    QVERIFY(m.captured(1).toLongLong() > 0 && m.captured(1).toLongLong() < n);
}

// A bench that only feeds the broker: no file, and the publishing ends with the N samples asked
// for although the board goes on; every one of them confirmed, as the summary says.
void TestRemoteState::publishingAloneStopsAtTheSamplesAsked()
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    MqttSource watcher(broker.settings(), kTopic);
    Collector remote;
    watcher.addConsumer(&remote);
    watcher.start();
    QTRY_VERIFY_WITH_TIMEOUT(watcher.client().isConnected(), kTimeout);
    Board sim({"--flat"});
    QVERIFY(!sim.path.isEmpty());
    constexpr qint64 n = 5000;
    RunningProgram bench;
    bench.start({"--sin-ventanas", "--com1", sim.path, "--config", "115200,N,8,1", "--muestras", QString::number(n),
                 "--mqtt", QStringLiteral("127.0.0.1:%1").arg(broker.port()), "--mqtt-usuario", TestBroker::kUser,
                 "--mqtt-clave-archivo", writePasswordFile(dir.path(), TestBroker::kPassword), "--mqtt-tema", kTopic});
    QCOMPARE(bench.wait(), 0);
    QVERIFY2(bench.errors().contains(QStringLiteral("%1 muestras publicadas en %2 y confirmadas").arg(n).arg(kTopic)),
             qPrintable(bench.errors()));
    QTRY_COMPARE_WITH_TIMEOUT(watcher.publisherState(), MqttPublisher::kOffline, kTimeout);
    QCOMPARE(qint64(remote.samples.size()), n);
    QCOMPARE(remote.values(), boardValues(0, n));
}

QTEST_MAIN(TestRemoteState)
#include "test_remotestate.moc"
