// Reading past samples back from the raw recording, for re-sending: each with its own arrival
// time, wherever those can be kept. (End to end, through a broker: test_mqttstream.)
#include "rawhistory.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <csignal>
#include <sys/resource.h>

namespace {

constexpr quint64 kNotedBatchSize = 30; // ten time steps of three samples
constexpr quint64 kNotedBatches = 60;

quint16 valueAt(quint64 index)
{
    return quint16(index * 40503u);
}

qint64 notedArrival(quint64 index)
{
    return 1'700'000'000'000'000'000 + qint64(index / 3) * 1'000'000 + 777;
}

// Samples 0 … count−1, as a raw recording holds them.
bool writeRaw(const QString &path, quint64 count)
{
    QFile raw(path);
    if (!raw.open(QIODevice::WriteOnly))
        return false;
    QByteArray bytes(qsizetype(2 * count), Qt::Uninitialized);
    for (quint64 i = 0; i < count; ++i)
        qToLittleEndian<quint16>(valueAt(i), bytes.data() + 2 * i);
    return raw.write(bytes) == bytes.size();
}

struct Noted
{
    int warnings = 0;
    qint64 warnedAt = -1; // the batch that brought the warning
    QString warning;
};

// Hands a history the samples in batches, with TMPDIR and a file size limit (0: none) as
// given for that time only.
Noted noteBatches(RawHistory &history, const QByteArray &tmpdir, qint64 fileLimit)
{
    const QByteArray tmpBefore = qgetenv("TMPDIR");
    rlimit limitBefore{};
    ::getrlimit(RLIMIT_FSIZE, &limitBefore);
    const auto xfszBefore = std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead
    qputenv("TMPDIR", tmpdir);
    if (fileLimit > 0) {
        const rlimit limit{rlim_t(fileLimit), limitBefore.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    Noted noted;
    for (quint64 k = 0; k < kNotedBatches; ++k) {
        Batch b;
        b.session = 7;
        b.first = k * kNotedBatchSize;
        for (quint64 i = b.first; i < b.first + kNotedBatchSize; ++i) {
            b.append(valueAt(i), notedArrival(i));
            history.noteSample(i, qint64(2 * (i + 1)));
        }
        if (const QString w = history.noteBatch(b); !w.isEmpty() && noted.warnings++ == 0) {
            noted.warnedAt = qint64(k);
            noted.warning = w;
        }
    }
    ::setrlimit(RLIMIT_FSIZE, &limitBefore);
    std::signal(SIGXFSZ, xfszBefore);
    if (tmpBefore.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", tmpBefore);
    return noted;
}

} // namespace

class TestRawHistory : public QObject
{
    Q_OBJECT
private slots:
    void arrivalTimesWhereverKept_data();
    void arrivalTimesWhereverKept();
};

void TestRawHistory::arrivalTimesWhereverKept_data()
{
    QTest::addColumn<bool>("besideRaw");   // the raw recording's folder takes the steps' file
    QTest::addColumn<bool>("temporary");   // the system's temporary folder does
    QTest::addColumn<qint64>("fileLimit"); // bytes a file may grow to (0: no limit)
    QTest::addColumn<bool>("warned");
    QTest::addColumn<bool>("warnedBatchExact");
    QTest::newRow("junto a la grabación cruda") << true << false << qint64(0) << false << false;
    QTest::newRow("en la carpeta temporal") << false << true << qint64(0) << false << false;
    QTest::newRow("sin carpeta: la hora de cada lote") << false << false << qint64(0) << true << false;
    // Room for 256 steps: the second write fails; what it held and the rest of its batch stay exact.
    QTest::newRow("archivo lleno a mitad") << true << false << qint64(4096) << true << true;
}

// Samples read back from the raw recording carry their own arrival times wherever the steps are
// kept; where nothing can keep them, each batch's first time, and the caller is warned once.
void TestRawHistory::arrivalTimesWhereverKept()
{
    QFETCH(bool, besideRaw);
    QFETCH(bool, temporary);
    QFETCH(qint64, fileLimit);
    QFETCH(bool, warned);
    QFETCH(bool, warnedBatchExact);
    QTemporaryDir folder;
    QVERIFY(QDir(folder.path()).mkdir("tmp"));
    const QString rawPath = folder.filePath("crudo.bin");
    QVERIFY(writeRaw(rawPath, kNotedBatches * kNotedBatchSize));
    RawReader reader = rawFileReader(rawPath);
    if (!besideRaw)
        reader.folder = folder.filePath("no-existe");
    RawHistory history(reader);
    const Noted noted = noteBatches(history, QFile::encodeName(folder.filePath(temporary ? "tmp" : "tampoco-existe")),
                                        fileLimit);

    QCOMPARE(noted.warnings, warned ? 1 : 0);
    QCOMPARE(history.warning(), noted.warning);
    if (warned && !besideRaw)
        QVERIFY2(noted.warning.contains(folder.filePath("no-existe")) && noted.warning.contains("tampoco-existe"),
                 qPrintable(noted.warning));
    constexpr quint64 kTotal = kNotedBatches * kNotedBatchSize;
    for (quint64 from = 0; from < kTotal; from += 250) { // pieces that cut across batches
        const quint64 to = qMin(kTotal, from + 250);
        const Batch back = history.read(7, from, to);
        QCOMPARE(back.values.size(), size_t(to - from));
        for (quint64 i = from; i < to; ++i) {
            const qint64 k = qint64(i / kNotedBatchSize);
            const bool exact = !warned || k < noted.warnedAt || (k == noted.warnedAt && warnedBatchExact);
            QCOMPARE(back.values[i - from], valueAt(i));
            QCOMPARE(back.arrivalAt(i - from), notedArrival(exact ? i : quint64(k) * kNotedBatchSize));
        }
    }
}

QTEST_GUILESS_MAIN(TestRawHistory)
#include "test_rawhistory.moc"
