// What goes over the broker, without one: the batch layout, putting batches back in order, the
// bounded memory of sent batches, and the settings a user gives.
#include "batchformat.h"
#include "batchstore.h"
#include "mqttbroker.h"
#include "mqttmessages.h"
#include "publisherledger.h"
#include "reassembly.h"
#include "viewfeed.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <limits>
#include <map>

namespace {

Batch makeBatch(quint64 first, quint64 count)
{
    Batch b;
    b.session = 77;
    b.first = first;
    for (quint64 i = first; i < first + count; ++i)
        // Three samples per arrival; times wrap far out, so that indices near 2^63 make no overflow.
        b.append(quint16(i * 7), 5'000 + qint64((i / 3) % 1'000'000'000'000) * 1'000);
    return b;
}

// "R0-10 P10-20 M10-20": what a reassembly put out.
QString describe(const std::vector<Reassembly::Output> &outputs)
{
    QStringList words;
    for (const auto &o : outputs) {
        const quint64 first = o.kind == Reassembly::Output::Ready ? o.batch.first : o.range.first;
        const quint64 end = o.kind == Reassembly::Output::Ready ? o.batch.end() : o.range.end();
        const char *kind = o.kind == Reassembly::Output::Ready ? "R" : o.kind == Reassembly::Output::Request ? "P" : "M";
        words << QStringLiteral("%1%2-%3").arg(QLatin1String(kind)).arg(first).arg(end);
    }
    return words.join(u' ');
}

template <typename T>
QByteArray patched(QByteArray payload, int offset, T value)
{
    qToLittleEndian<T>(value, payload.data() + offset);
    return payload;
}
} // namespace

class TestMqttFormat : public QObject
{
    Q_OBJECT
private slots:
    void batchLayout();
    void batchChecked_data();
    void batchChecked();
    void sliceKeepsArrivalTimes();
    void metaKeepsNanoseconds();
    void reassembly_data();
    void reassembly();
    void storeBound_data();
    void storeBound();
    void storeResendsInOrder();
    void everyLossIsTold();
    void resentSamplesLeaveTheLossesAndNothingElse_data();
    void resentSamplesLeaveTheLossesAndNothingElse();
    void viewCarriesEverySampleOrEachMillisecondsExtremes_data();
    void viewCarriesEverySampleOrEachMillisecondsExtremes();
    void passwordFile_data();
    void passwordFile();
    void brokerAddress_data();
    void brokerAddress();
    void recorderClientIdFollowsTheRecording_data();
    void recorderClientIdFollowsTheRecording();
};

// The layout a reader in another language relies on, byte by byte.
void TestMqttFormat::batchLayout()
{
    const Batch b = makeBatch(1'000'000'000'000ULL, 7); // arrivals change at offsets 2 and 5
    const QByteArray p = b.encode();
    const auto *u = reinterpret_cast<const uchar *>(p.constData());
    QCOMPARE(p.size(), 40 + 7 * 2 + 2 * 12);
    QCOMPARE(p.left(4), QByteArray("DVMQ"));
    QCOMPARE(qFromLittleEndian<quint16>(u + 4), quint16(1));
    QCOMPARE(qFromLittleEndian<quint16>(u + 6), quint16(40));
    QCOMPARE(qFromLittleEndian<quint64>(u + 8), quint64(77));
    QCOMPARE(qFromLittleEndian<quint64>(u + 16), quint64(1'000'000'000'000ULL));
    QCOMPARE(qFromLittleEndian<quint32>(u + 24), quint32(7));
    QCOMPARE(qFromLittleEndian<quint32>(u + 28), quint32(2));
    QCOMPARE(qFromLittleEndian<qint64>(u + 32), b.arrivalAt(0));
    QCOMPARE(qFromLittleEndian<quint16>(u + 40), b.values[0]);
    QCOMPARE(qFromLittleEndian<quint16>(u + 40 + 12), b.values[6]);
    QCOMPARE(qFromLittleEndian<quint32>(u + 54), quint32(2));
    QCOMPARE(qFromLittleEndian<qint64>(u + 58), b.arrivalAt(2) - b.arrivalAt(0));
    QCOMPARE(qFromLittleEndian<quint32>(u + 66), quint32(5));

    const auto back = Batch::decode(p);
    QVERIFY(back);
    QCOMPARE(back->session, b.session);
    QCOMPARE(back->first, b.first);
    QCOMPARE(back->values, b.values);
    QCOMPARE(back->times, b.times);
}

void TestMqttFormat::batchChecked_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("accepted");
    const QByteArray good = makeBatch(0, 7).encode(); // steps at offsets 3 and 6, +1000 and +2000 ns
    constexpr quint64 kLimit = quint64(1) << 63;
    QByteArray badMagic = good;
    badMagic[0] = 'X';
    QByteArray version2 = good;
    version2[4] = 2;
    QTest::newRow("corto") << good.left(39) << false;
    QTest::newRow("sin marca") << badMagic << false;
    QTest::newRow("otra versión") << version2 << false;
    QTest::newRow("le falta un byte") << good.chopped(1) << false;
    QTest::newRow("le sobra un byte") << good + '\0' << false;
    QTest::newRow("más muestras que la carga") << patched<quint32>(good, 24, 8) << false;
    QTest::newRow("paso de tiempo fuera") << patched<quint32>(good, 54, 9) << false;
    QTest::newRow("paso en el desplazamiento 0") << patched<quint32>(good, 54, 0) << false;
    QTest::newRow("pasos en el mismo desplazamiento") << patched<quint32>(good, 66, 3) << false;
    QTest::newRow("hora que retrocede") << patched<qint64>(good, 70, 500) << false;
    QTest::newRow("hora repetida") << patched<qint64>(good, 70, 1000) << false;
    QTest::newRow("paso que desborda la hora") << patched<qint64>(good, 70, std::numeric_limits<qint64>::max()) << false;
    QTest::newRow("hora negativa") << patched<qint64>(good, 32, -1) << false;
    QTest::newRow("hora en 2200") << patched<qint64>(good, 32, 7'258'118'400'000'000'000) << false;
    QTest::newRow("sesión 0") << patched<quint64>(good, 8, 0) << false;
    QTest::newRow("última muestra en 2^63") << patched<quint64>(good, 16, kLimit - 6) << false;
    QTest::newRow("índices que dan la vuelta") << patched<quint64>(good, 16, ~quint64(0) - 2) << false;
    QTest::newRow("la mayor muestra, 2^63−1") << patched<quint64>(good, 16, kLimit - 7) << true;
    QTest::newRow("la última hora posible")
        << patched<qint64>(patched<qint64>(good, 32, 7'258'118'400'000'000'000 - 2001), 70, 2000) << true;
    QTest::newRow("vacío") << makeBatch(5, 0).encode() << true;
}

void TestMqttFormat::batchChecked()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, accepted);
    QString why;
    const auto batch = Batch::decode(payload, &why);
    QCOMPARE(bool(batch), accepted);
    QCOMPARE(why.isEmpty(), accepted);
    if (batch)
        QCOMPARE(batch->encode(), payload);
}

void TestMqttFormat::sliceKeepsArrivalTimes()
{
    const Batch b = makeBatch(100, 20);
    for (quint64 from = 100; from <= 120; ++from) {
        for (quint64 to = from; to <= 120; ++to) {
            const Batch s = b.slice(from, to);
            QCOMPARE(s.first, from);
            QCOMPARE(s.values.size(), size_t(to - from));
            for (size_t i = 0; i < s.values.size(); ++i) {
                QCOMPARE(s.values[i], b.values[from - 100 + i]);
                QCOMPARE(s.arrivalAt(i), b.arrivalAt(from - 100 + i));
            }
            const auto back = Batch::decode(s.encode());
            QVERIFY(back && back->times == s.times);
        }
    }
}

// Unix nanoseconds do not fit a double: the JSON keeps them exact, or remote times drift.
void TestMqttFormat::metaKeepsNanoseconds()
{
    SessionMeta meta;
    meta.session = 1'733'000'000'123ULL;
    meta.clockZeroUnixNanos = 1'700'000'000'123'456'789LL;
    meta.start = QDateTime::fromMSecsSinceEpoch(1'733'000'000'123LL);
    meta.startUnixNanos = 1'733'000'000'123'456'789LL;
    const auto back = SessionMeta::fromJson(meta.toJson());
    QVERIFY(back);
    QCOMPARE(back->clockZeroUnixNanos, meta.clockZeroUnixNanos);
    QCOMPARE(back->session, meta.session);
    QCOMPARE(back->start, meta.start);
    QCOMPARE(back->startUnixNanos, meta.startUnixNanos);
}

void TestMqttFormat::reassembly_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<qint64>("pendingLimit");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("counts"); // "d<duplicates> t<late>", or empty: not checked
    const qint64 big = 1 << 30;
    QTest::newRow("en orden") << "b 0 10 @0; b 10 5 @1" << big << "R0-10 R10-15" << "d0 t0";
    QTest::newRow("duplicados y solapes") << "b 0 10 @0; b 5 10 @1; b 0 15 @2; b 12 2 @3" << big << "R0-10 R10-15"
                                          << "d22 t0";
    QTest::newRow("desordenados") << "b 0 10 @0; b 30 5 @1; b 20 10 @2; b 10 10 @3" << big
                                  << "R0-10 P10-30 R10-20 R20-30 R30-35" << "d0 t0";
    QTest::newRow("hueco pedido y llenado") << "b 0 10 @0; b 20 5 @1; b 10 10 @2" << big << "R0-10 P10-20 R10-20 R20-25"
                                            << "";
    // A timer alone never gives a gap up: the piece is asked for again, less and less often.
    QTest::newRow("hueco pedido otra vez, cada vez más espaciado")
        << "b 0 10 @0; b 20 5 @1; t @100; t @101; t @200; t @301; t @1000" << big
        << "R0-10 P10-20 P10-20 P10-20 P10-20" << "";
    QTest::newRow("el publicador ya no lo tiene") << "b 0 10 @0; b 20 5 @1; u 10 10 @2" << big
                                                  << "R0-10 P10-20 M10-20 R20-25" << "";
    QTest::newRow("lo que aún no existe no se abandona")
        << "b 0 10 @0; a 30 @1; t @60; u 10 20 h15 @61; b 15 15 @70" << big << "R0-10 P10-30 M10-15 R15-30" << "";
    QTest::newRow("una respuesta a otra cosa que lo pedido no cuenta")
        << "b 0 10 @0; b 20 5 @1; u 100 10 @2; u 0 10 @3" << big << "R0-10 P10-20" << "";
    QTest::newRow("pedido por trozos") << "b 0 1 @0; b 140001 1 @1; b 1 65536 @2" << big
                                       << "R0-1 P1-65537 R1-65537 P65537-131073" << "";
    QTest::newRow("final anunciado que no llega: se pide tras la gracia")
        << "b 0 10 @0; a 15 @1; t @50; t @51; t @152" << big << "R0-10 P10-15 P10-15" << "";
    QTest::newRow("final anunciado que llega") << "b 0 10 @0; a 15 @1; b 10 5 @20; t @300" << big << "R0-10 R10-15"
                                               << "d0 t0";
    // Summaries count the batch still filling: in a steady stream each one is a little ahead of
    // what has come, and what it counted always comes soon after.
    QTest::newRow("flujo continuo con resúmenes por delante")
        << "b 0 10 @0; a 15 @1; b 10 10 @50; a 25 @60; b 20 10 @100; a 35 @110; b 30 10 @150; a 45 @160; "
           "b 40 10 @200; t @250"
        << big << "R0-10 R10-20 R20-30 R30-40 R40-50" << "d0 t0";
    // Past the bound the batches furthest ahead are let go, and asked for again in their turn.
    QTest::newRow("demasiado en espera") << "b 0 10 @0; b 20 20 @1; b 10 10 @2; b 20 20 @3" << qint64(20)
                                         << "R0-10 P10-20 R10-20 P20-40 R20-40" << "d0 t0";
    QTest::newRow("conexión perdida y vuelta: se pide de nuevo, nada se abandona")
        << "b 0 10 @0; b 20 5 @1; l @2; o @50; t @500; b 10 10 @600" << big
        << "R0-10 P10-20 P10-20 P10-20 P10-20 R10-20 R20-25" << "d0 t0";
    QTest::newRow("ausente demasiado tiempo") << "b 0 10 @0; b 20 5 @1; l @2; t @1002" << big
                                              << "R0-10 P10-20 P10-20 M10-20 R20-25" << "";
    // Nobody is left to send: after the last request everything missing goes at once.
    QTest::newRow("sesión terminada: un último pedido y todo a la vez")
        << "b 0 1 @0; b 140001 1 @1; g @2; t @101; t @102" << big << "R0-1 P1-65537 P1-65537 M1-140001 R140001-140002"
        << "";
    QTest::newRow("sesión terminada: el final anunciado también")
        << "b 0 10 @0; g @1; a 30 @1; t @101; t @202" << big << "R0-10 P10-30 M10-30" << "";
    QTest::newRow("sesión terminada pero llega lo pedido: se sigue")
        << "b 0 10 @0; b 30 5 @1; g @2; b 10 10 @50; t @102" << big << "R0-10 P10-30 P10-30 R10-20 P20-30" << "";
    QTest::newRow("tardías, no duplicadas") << "b 0 10 @0; b 20 5 @1; u 10 10 @2; b 10 10 @3; b 0 5 @4" << big
                                            << "R0-10 P10-20 M10-20 R20-25" << "d5 t10";
    QTest::newRow("lote inverosímil rechazado")
        << "r 5.76; b 0 10 @0; a 150000 @25000; b 1000000 10 @25001; b 10 5 @25002" << big << "R0-10 X R10-15" << "";
    QTest::newRow("índice pasado 2^63 rechazado") << "b 0 10 @0; b 9223372036854775800 10 @1" << big << "R0-10 X" << "";
}

// Steps: "b FIRST COUNT @T" a batch, "a COUNT @T" an announced count, "u FIRST COUNT [hEND] @T"
// the publisher no longer has these (and holds up to END), "g @T" it said goodbye, "l @T" its
// connection was lost, "o @T" it is online, "r RATE" the line's rate (samples per ms), "t @T"
// time passes. Waits: 100 first, 400 at most, 50 for an announced count, 1000 of absence.
void TestMqttFormat::reassembly()
{
    QFETCH(QString, steps);
    QFETCH(qint64, pendingLimit);
    QFETCH(QString, expected);
    QFETCH(QString, counts);
    Reassembly r({100, 400, 50, 1000}, pendingLimit);
    QStringList said;
    std::vector<Reassembly::Output> out;
    for (const QString &step : steps.split(u';')) {
        const QStringList w = step.trimmed().split(u' ');
        const qint64 at = w.last().mid(1).toLongLong();
        if (w[0] == u"b") {
            if (r.add(makeBatch(w[1].toULongLong(), w[2].toULongLong()), at) == Reassembly::Verdict::TooFarAhead)
                said << QStringLiteral("X");
        } else if (w[0] == u"a") {
            r.announce(w[1].toULongLong(), at);
        } else if (w[0] == u"u") {
            const auto held = w.size() > 4 ? std::optional<quint64>(w[3].mid(1).toULongLong()) : std::nullopt;
            r.unavailable({w[1].toULongLong(), w[2].toULongLong()}, held, at);
        } else if (w[0] == u"g" || w[0] == u"l" || w[0] == u"o") {
            r.setPublisher(w[0] == u"g"   ? Reassembly::Publisher::Ended
                           : w[0] == u"l" ? Reassembly::Publisher::Absent
                                          : Reassembly::Publisher::Live,
                           at);
        } else if (w[0] == u"r") {
            r.setMaxRate(w[1].toDouble());
        } else {
            r.tick(at);
        }
        std::vector<Reassembly::Output> now = r.take();
        if (!now.empty())
            said << describe(now);
        for (auto &o : now)
            out.push_back(std::move(o));
    }
    QCOMPARE(said.join(u' '), expected);
    if (!counts.isEmpty())
        QCOMPARE(QStringLiteral("d%1 t%2").arg(r.duplicates()).arg(r.late()), counts);
    for (const auto &o : out) // what is handed out is the samples themselves, times included
        if (o.kind == Reassembly::Output::Ready) {
            const Batch whole = makeBatch(o.batch.first, o.batch.values.size());
            QCOMPARE(o.batch.values, whole.values);
            QCOMPARE(o.batch.times, whole.times);
        }
}

void TestMqttFormat::storeBound_data()
{
    QTest::addColumn<QList<bool>>("acked");
    QTest::addColumn<QString>("lost");
    // Four batches of 10 samples, 100 bytes each, within 250 bytes: the oldest two must go.
    QTest::newRow("confirmados: nada se pierde") << QList<bool>{true, true, false, false} << "";
    QTest::newRow("sin confirmar: se pierden") << QList<bool>{false, false, false, false} << "0-10 10-20";
    QTest::newRow("mezcla") << QList<bool>{true, false, false, false} << "10-20";
}

void TestMqttFormat::storeBound()
{
    QFETCH(QList<bool>, acked);
    QFETCH(QString, lost);
    BatchStore store(250);
    QStringList dropped;
    for (int i = 0; i < acked.size(); ++i) {
        for (const SampleRange &r : store.add(quint64(10 * i), 10, QByteArray(100, 'x')))
            dropped << QStringLiteral("%1-%2").arg(r.first).arg(r.end());
        if (acked[i])
            store.acknowledge(quint64(10 * i));
    }
    QCOMPARE(dropped.join(u' '), lost);
    QCOMPARE(store.oldest(), quint64(20));
    QCOMPARE(store.end(), quint64(40));
}

// After a reconnect, what the broker had not acknowledged goes again, oldest first.
void TestMqttFormat::storeResendsInOrder()
{
    BatchStore store(1 << 20);
    for (quint64 i = 0; i < 4; ++i)
        store.add(10 * i, 10, QByteArray(10, 'x'));
    while (BatchStore::Entry *e = store.nextUnsent())
        store.markSent(*e);
    store.acknowledge(10);
    store.connectionLost();
    QList<quint64> order;
    while (BatchStore::Entry *e = store.nextUnsent()) {
        order << e->first;
        store.markSent(*e);
    }
    QCOMPARE(order, (QList<quint64>{0, 20, 30}));
    QCOMPARE(store.unacknowledgedSamples(), quint64(30));
    // Samples sent again on request, in pieces that do not follow the batches (and twice over),
    // reached the broker all the same: not counted as unconfirmed.
    SampleRanges delivered;
    delivered.add(5, 12);
    delivered.add(12, 25);
    delivered.add(3, 8);
    delivered.add(29, 31);
    QCOMPARE(store.unacknowledgedSamples(&delivered), quint64(3 + 4 + 9));
}

// Losses that do not follow one another are ranges of their own, and every one is told (a
// line in the local CSV, a notice on TEMA/estado).
void TestMqttFormat::everyLossIsTold()
{
    LossLog log;
    QVERIFY(log.note({{0, 10}})); // the first of an outage: said
    QVERIFY(!log.note({{10, 5}, {30, 5}}));
    const std::vector<SampleRange> told{{0, 15}, {30, 5}};
    QVERIFY(log.close() == told);
    QVERIFY(log.takeUnpublished() == told);
}

// What a bench counts as never confirmed at its end: its losses less what was sent again on
// request. A re-send of other samples (from memory, after the losses) must not change it.
void TestMqttFormat::resentSamplesLeaveTheLossesAndNothingElse_data()
{
    QTest::addColumn<quint64>("first");
    QTest::addColumn<quint64>("end");
    QTest::addColumn<quint64>("left");
    // Lost: [100, 200) and [300, 400).
    QTest::newRow("después de todas") << quint64(1000) << quint64(1100) << quint64(200);
    QTest::newRow("entre dos") << quint64(200) << quint64(300) << quint64(200);
    QTest::newRow("antes de todas") << quint64(0) << quint64(100) << quint64(200);
    QTest::newRow("dentro de una") << quint64(120) << quint64(130) << quint64(190);
    QTest::newRow("a caballo de dos") << quint64(150) << quint64(350) << quint64(100);
    QTest::newRow("todas y más") << quint64(50) << quint64(450) << quint64(0);
    QTest::newRow("una exacta") << quint64(300) << quint64(400) << quint64(100);
}

void TestMqttFormat::resentSamplesLeaveTheLossesAndNothingElse()
{
    QFETCH(quint64, first);
    QFETCH(quint64, end);
    QFETCH(quint64, left);
    SampleRanges lost;
    lost.add(100, 150);
    lost.add(150, 200);
    lost.add(300, 400);
    lost.remove(first, end);
    QCOMPARE(lost.total(), left);
    QCOMPARE(lost.overlap(0, 1000), left);
    lost.remove(first, end); // twice over: nothing more
    QCOMPARE(lost.total(), left);
}

void TestMqttFormat::viewCarriesEverySampleOrEachMillisecondsExtremes_data()
{
    QTest::addColumn<int>("samples");
    QTest::addColumn<int>("block");    // samples sharing one arrival time
    QTest::addColumn<int>("stepMicros"); // between blocks
    QTest::addColumn<bool>("whole");   // sent as a batch
    QTest::addColumn<int>("firstSent"); // the feed let the older ones go
    QTest::newRow("pocas, una a una") << 200 << 1 << 170 << true << 0;
    QTest::addRow("%d, el límite", ViewFeed::kBatchSamples) << ViewFeed::kBatchSamples << 16 << 2000 << true << 0;
    QTest::addRow("%d, una más", ViewFeed::kBatchSamples + 1) << ViewFeed::kBatchSamples + 1 << 16 << 2000 << false << 0;
    QTest::newRow("pocas con tantos pasos que no caben") << 600 << 1 << 50 << false << 0;
    QTest::newRow("rápidas, en bloques") << 30000 << 2048 << 3400 << false << 0;
    QTest::newRow("más de 2 s sin salir") << 3000 << 1 << 1000 << false << 2000;
}

// Whatever the rate, a browser gets either every sample with its time or the exact extremes of
// each millisecond of arrival, on the session's clock.
void TestMqttFormat::viewCarriesEverySampleOrEachMillisecondsExtremes()
{
    QFETCH(int, samples);
    QFETCH(int, block);
    QFETCH(int, stepMicros);
    QFETCH(bool, whole);
    QFETCH(int, firstSent);
    const qint64 start = 1'765'000'000'000'000'000 + 123'456;
    const quint64 firstIndex = 5000;
    ViewFeed feed(42, start);
    std::map<qint64, std::pair<quint16, quint16>> extremes; // by millisecond since start
    std::vector<quint16> values;
    std::vector<qint64> times;
    for (int i = 0; i < samples; ++i) {
        const quint16 v = quint16((i * 7919) % 5000);
        const qint64 t = start + 300'000 + qint64(i / block) * stepMicros * 1000;
        feed.add(firstIndex + i, v, t);
        if (i < firstSent)
            continue;
        values.push_back(v);
        times.push_back(t);
        auto [it, fresh] = extremes.try_emplace((t - start) / 1000000, v, v);
        it->second = {std::min(it->second.first, v), std::max(it->second.second, v)};
    }
    const QByteArray payload = feed.take();
    QVERIFY(feed.empty());
    if (whole) {
        QVERIFY(payload.size() <= ViewFeed::kBatchBytes);
        const std::optional<Batch> b = Batch::decode(payload);
        QVERIFY(b);
        QCOMPARE(b->session, 42u);
        QCOMPARE(b->first, firstIndex + firstSent);
        QCOMPARE(b->values, values);
        for (size_t i = 0; i < values.size(); ++i)
            QCOMPARE(b->arrivalAt(i), times[i]);
        return;
    }
    QVERIFY(!Batch::decode(payload));
    const std::optional<ViewFeed::Envelope> e = ViewFeed::decode(payload);
    QVERIFY(e);
    QCOMPARE(e->session, 42u);
    QCOMPARE(e->first, firstIndex + firstSent);
    QCOMPARE(e->count, quint32(values.size()));
    QCOMPARE(e->last, values.back());
    QCOMPARE(e->milliseconds.size(), extremes.size());
    auto it = extremes.begin();
    for (const ViewFeed::Millisecond &m : e->milliseconds) {
        QCOMPARE(m.ms, it->first);
        QCOMPARE(m.min, it->second.first);
        QCOMPARE(m.max, it->second.second);
        ++it;
    }
}

void TestMqttFormat::passwordFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("permissions");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("warning");
    const int owner = int(QFile::ReadOwner | QFile::WriteOwner);
    QTest::newRow("una línea") << QByteArray("s3creto\n") << owner << QByteArray("s3creto") << "" << "";
    QTest::newRow("fin de línea CR LF y más líneas") << QByteArray("s3creto\r\notra\n") << owner
                                                     << QByteArray("s3creto") << "" << "";
    QTest::newRow("legible por otros") << QByteArray("s3creto") << int(owner | QFile::ReadOther)
                                       << QByteArray("s3creto") << "" << "otros usuarios pueden leer";
    QTest::newRow("vacío") << QByteArray("\n") << owner << QByteArray() << "está vacío" << "";
}

void TestMqttFormat::passwordFile()
{
    QFETCH(QByteArray, content);
    QFETCH(int, permissions);
    QFETCH(QByteArray, password);
    QFETCH(QString, error);
    QFETCH(QString, warning);
    QTemporaryDir folder;
    QFile f(folder.filePath("clave"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();
    QVERIFY(f.setPermissions(QFile::Permissions(permissions)));
    const PasswordFile read = readPasswordFile(f.fileName());
    QCOMPARE(read.error.isEmpty(), error.isEmpty());
    QVERIFY(read.error.contains(error));
    QCOMPARE(read.warning.isEmpty(), warning.isEmpty());
    QVERIFY(read.warning.contains(warning));
    if (error.isEmpty())
        QCOMPARE(read.password, password);
    QVERIFY(!read.warning.contains("s3creto") && !read.error.contains("s3creto"));
    const PasswordFile missing = readPasswordFile(folder.filePath("no-existe"));
    QVERIFY(missing.error.contains(QStringLiteral("no existe")));
}

void TestMqttFormat::brokerAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("ok");
    QTest::newRow("nombre") << "broker.lab" << "broker.lab" << 0 << "broker.lab:1883" << true;
    QTest::newRow("nombre y puerto") << "broker.lab:1884" << "broker.lab" << 1884 << "broker.lab:1884" << true;
    QTest::newRow("IPv6 y puerto") << "[::1]:1884" << "::1" << 1884 << "[::1]:1884" << true;
    QTest::newRow("puerto 0") << "broker.lab:0" << "" << 0 << "" << false;
    QTest::newRow("puerto grande") << "broker.lab:70000" << "" << 0 << "" << false;
    QTest::newRow("sin nombre") << ":1883" << "" << 0 << "" << false;
    QTest::newRow("IPv6 con dos puntos y sin puerto") << "[::1]:" << "" << 0 << "" << false;
}

void TestMqttFormat::brokerAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, shown);
    QFETCH(bool, ok);
    MqttBroker b;
    const QString error = parseBrokerAddress(text, b);
    QCOMPARE(error.isEmpty(), ok);
    if (!ok)
        return;
    QCOMPARE(b.host, host);
    QCOMPARE(b.port, quint16(port));
    QCOMPARE(b.name(), shown);
    b.caFile = QStringLiteral("ca.pem");
    if (port == 0)
        QCOMPARE(b.effectivePort(), MqttBroker::kTlsPort);
}

void TestMqttFormat::recorderClientIdFollowsTheRecording_data()
{
    // {cwd} stands for the working folder.
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QList<QByteArray>>("files");
    QTest::addColumn<QString>("otherTopic");
    QTest::addColumn<QList<QByteArray>>("otherFiles");
    QTest::addColumn<bool>("same");
    const QString t = QStringLiteral("lab/banco3");
    using F = QList<QByteArray>;
    QTest::newRow("the same file spelt otherwise") << t << F{"r.csv"} << t << F{"./sub/../r.csv"} << true;
    QTest::newRow("the same file by its absolute path") << t << F{"r.csv", ""} << t << F{"{cwd}/r.csv"} << true;
    QTest::newRow("another file") << t << F{"r.csv"} << t << F{"s.csv"} << false;
    QTest::newRow("another topic") << t << F{"r.csv"} << QStringLiteral("lab/banco4") << F{"r.csv"} << false;
    QTest::newRow("the raw file as well") << t << F{"r.csv"} << t << F{"r.csv", "r.bin"} << false;
}

// A recorder reconnecting finds its own session, and no other recording shares it; the id
// stays within what every broker accepts.
void TestMqttFormat::recorderClientIdFollowsTheRecording()
{
    QFETCH(QString, topic);
    QFETCH(QList<QByteArray>, files);
    QFETCH(QString, otherTopic);
    QFETCH(QList<QByteArray>, otherFiles);
    QFETCH(bool, same);
    for (QByteArray &f : otherFiles)
        f.replace("{cwd}", QFile::encodeName(QDir::currentPath()));
    const QString id = recorderClientId(topic, files), other = recorderClientId(otherTopic, otherFiles);
    QCOMPARE(id == other, same);
    for (const QString &i : {id, other})
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9A-Za-z]{1,23}$")).match(i).hasMatch(), qPrintable(i));
}

QTEST_GUILESS_MAIN(TestMqttFormat)
#include "test_mqttformat.moc"
