// Measures the real program path: pseudo-terminal, serial control, per-byte notifications,
// decoder, ring, display, and the graph plotting on its 10 ms timer. Prints one table.

#include "harness.h"
#include "recorder.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "frmdispvanto.h"
#include "grfvanto.h"

#include <QApplication>
#include <QEvent>
#include <QLineEdit>
#include <functional>
#include <QSerialPort>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

using namespace bench;

namespace {

struct Row
{
    QString figure;
    QString value;
    QString target;
    bool holds;
};
std::vector<Row> g_rows;

void row(const QString &figure, const QString &value, const QString &target, bool holds)
{
    g_rows.push_back({figure, value, target, holds});
    std::printf("  %-44s %-26s %-14s %s\n", qPrintable(figure), qPrintable(value), qPrintable(target),
                holds ? "yes" : "NO");
    std::fflush(stdout);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

constexpr quint64 kIngestBytes = 32ull * 1024 * 1024;

double rawDrainSeconds()
{
    Pty pty;
    QSerialPort port(pty.slavePath());
    port.open(QIODevice::ReadWrite);
    quint64 got = 0;
    QObject::connect(&port, &QSerialPort::readyRead, &port, [&] { got += quint64(port.readAll().size()); });
    Feeder feeder(pty.masterFd(), kIngestBytes / 2, 0);
    const auto start = Clock::now();
    feeder.start();
    runUntil([&] { return got >= kIngestBytes; }, 120);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

quint64 checksumOfFirst(quint64 count)
{
    quint64 sum = 0;
    for (quint64 i = 0; i < count; ++i)
        sum = sum * 31 + sampleAt(i);
    return sum;
}

void ingest()
{
    Pipeline p;
    if (!qEnvironmentVariableIsSet("NOWATCH")) p.watchSamples();
    const quint64 count = kIngestBytes / 2;
    const quint64 sentChecksum = checksumOfFirst(count);
    Feeder feeder(p.pty.masterFd(), count, 0);
    const auto start = Clock::now();
    feeder.start();
    const bool done = runUntil([&] { return qEnvironmentVariableIsSet("NOWATCH") ? (p.program->acquisition().waiting() == 0 && feeder.sentSamples() >= count) : p.decoded >= count; }, 240);
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    feeder.join();
    const double peak = peakResidentMiB();

    const double mbps = kIngestBytes / secs / 1e6;
    row(QStringLiteral("ingest throughput (32 MiB, graph plotting)"),
        QStringLiteral("%1 MB/s, %2 samples/s").arg(mbps, 0, 'f', 1).arg(count / secs, 0, 'f', 0),
        QStringLiteral(">= 20 MB/s"), done && mbps >= 20);
    const double raw = rawDrainSeconds();
    const double rawMbps = kIngestBytes / raw / 1e6;
    row(QStringLiteral("ratio to a bare QSerialPort::readAll drain"),
        QStringLiteral("%1 (raw %2 MB/s)").arg(mbps / rawMbps, 0, 'f', 2).arg(rawMbps, 0, 'f', 1),
        QStringLiteral(">= 0.25"), mbps / rawMbps >= 0.25);
    const bool intact = p.decoded == count && p.mismatches == 0 && p.checksum == sentChecksum;
    row(QStringLiteral("loss"),
        QStringLiteral("%1 of %2 decoded, %3 wrong, checksum %4").arg(p.decoded).arg(count).arg(p.mismatches)
            .arg(p.checksum == sentChecksum ? QStringLiteral("equal") : QStringLiteral("DIFFERS")),
        QStringLiteral("0 lost, equal"), intact);
    row(QStringLiteral("peak resident memory during ingest"), QStringLiteral("%1 MB").arg(peak * 1.048576, 0, 'f', 1),
        QStringLiteral("<= 100 MB"), peak * 1.048576 <= 100);
}

// The same ingest with both recordings on: every sample to CSV, every byte to the raw file.
void ingestRecording()
{
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("bench.csv")), raw = dir.filePath(QStringLiteral("bench.bin"));
    Pipeline p;
    p.watchSamples();
    p.program->record(QFile::encodeName(csv), QFile::encodeName(raw));
    const quint64 count = kIngestBytes / 2;
    const quint64 sentChecksum = checksumOfFirst(count);
    Feeder feeder(p.pty.masterFd(), count, 0);
    const auto start = Clock::now();
    feeder.start();
    const bool done = runUntil([&] { return p.decoded >= count; }, 240);
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    feeder.join();
    const bool written = p.program->recorder()->finish(); // the last buffers, and a sync to disk

    // Read both files back as a user would.
    quint64 csvRows = 0, csvChecksum = 0, rawChecksum = 0, rawSamples = 0;
    QFile c(csv);
    c.open(QIODevice::ReadOnly);
    while (!c.atEnd()) {
        const QByteArray line = c.readLine();
        if (line.isEmpty() || line[0] < '0' || line[0] > '9')
            continue;
        csvChecksum = csvChecksum * 31 + line.mid(line.lastIndexOf(',') + 1).trimmed().toULongLong();
        ++csvRows;
    }
    QFile r(raw);
    r.open(QIODevice::ReadOnly);
    while (!r.atEnd()) {
        const QByteArray block = r.read(1 << 20);
        for (qsizetype i = 0; i + 1 < block.size(); i += 2, ++rawSamples)
            rawChecksum = rawChecksum * 31 + (quint8(block[i]) | quint8(block[i + 1]) << 8);
    }
    const double mbps = kIngestBytes / secs / 1e6;
    const bool intact = done && written && csvRows == count && rawSamples == count && csvChecksum == sentChecksum
                        && rawChecksum == sentChecksum && p.mismatches == 0;
    row(QStringLiteral("ingest with CSV and raw recording on"),
        QStringLiteral("%1 MB/s, %2 rows, checksums %3").arg(mbps, 0, 'f', 1).arg(csvRows)
            .arg(csvChecksum == sentChecksum && rawChecksum == sentChecksum ? QStringLiteral("equal") : QStringLiteral("DIFFER")),
        QStringLiteral(">= 20 MB/s, 0 lost"), intact && mbps >= 20);
}

// The recorder alone, fed as fast as it takes samples (CSV and raw, blocks of 4 KiB as a port
// delivers them), with the recording in parts every second of the samples' clock (the wall
// clock here) against one file: interleaved runs of 4 s each, the best of three of each. The
// rate is per second of this thread's CPU (the writes' own time included), so that other load
// on the machine does not decide the figure.
void recordingRotation()
{
    struct Feed : SampleSource
    {
        using SampleSource::emitBytes;
        using SampleSource::emitSample;
    };
    const auto rate = [](bool rotated) {
        QTemporaryDir dir;
        Feed feed;
        Recorder r(QFile::encodeName(dir.filePath(QStringLiteral("r.csv"))), QFile::encodeName(dir.filePath(QStringLiteral("r.bin"))),
                   rotated ? *Rotation::parse(QStringLiteral("1s")) : Rotation{});
        const auto start = Clock::now();
        const double cpu = threadCpu();
        const auto nanos = [&] { return qint64(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()); };
        r.attach(feed, 0, 0, [] { return RecordingHeader{}; });
        QByteArray block(4096, Qt::Uninitialized);
        quint64 index = 0;
        qint64 now = 0;
        while ((now = nanos()) < qint64(4e9)) {
            for (qsizetype i = 0; i < block.size(); i += 2) {
                block[i] = char(index + i / 2);
                block[i + 1] = char((index + i / 2) >> 8);
            }
            feed.emitBytes(block.constData(), block.size(), qint64(2 * index));
            for (int i = 0; i < block.size() / 2; ++i, ++index)
                feed.emitSample({index, quint16(index), now, qint64(2 * (index + 1))});
        }
        r.finish();
        return std::pair(double(index) / (threadCpu() - cpu), r.part());
    };
    double plain = 0, rotated = 0;
    quint64 parts = 0;
    for (int run = 0; run < 3; ++run) {
        plain = std::max(plain, rate(false).first);
        const auto [r, p] = rate(true);
        rotated = std::max(rotated, r);
        parts = p;
    }
    const double slower = 100.0 * (1 - rotated / plain);
    row(QStringLiteral("recording in parts every second"),
        QStringLiteral("%1 %2 slower (%3 M samples per CPU second, %4 parts in 4 s)")
            .arg(slower, 0, 'f', 1).arg(QStringLiteral("%")).arg(rotated / 1e6, 0, 'f', 1).arg(parts),
        QStringLiteral("<= 5 % slower"), slower <= 5);
}

/// CPU time a child process has run so far, in seconds (the scheduler's count, in ns).
double childCpu(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/schedstat").arg(pid));
    return f.open(QIODevice::ReadOnly) ? f.readAll().split(' ').value(0).toDouble() / 1e9 : 0;
}

/// CPU of the program path over 10 s at a byte rate, as a share of one core. With a reference,
/// bench/minimalreader (offscreen) runs over the same seconds, fed at the same rate by a feeder
/// of its own, and the figure is the ratio of the two: what the least a Qt program can do with
/// the stream costs here is measured, not assumed.
void cpuAt(const QString &name, double bytesPerSecond, double limit, bool againstReference = false)
{
    Pipeline p;
    p.watchSamples();
    Feeder feeder(p.pty.masterFd(), bytesPerSecond > 0 ? ~0ull >> 2 : 0, bytesPerSecond);
    Pty refPty;
    Feeder refFeeder(refPty.masterFd(), bytesPerSecond > 0 ? ~0ull >> 2 : 0, bytesPerSecond);
    QProcess reference;
    if (againstReference) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        reference.setProcessEnvironment(env);
        reference.start(QCoreApplication::applicationDirPath() + QStringLiteral("/minimalreader"), {refPty.slavePath()});
        reference.waitForStarted();
        runFor(1); // its start-up is not part of the figure
    }
    runFor(0.3); // settle
    const double cpu0 = processCpu(), ref0 = childCpu(reference.processId());
    const auto start = Clock::now();
    if (bytesPerSecond > 0) {
        feeder.start();
        if (againstReference)
            refFeeder.start();
    }
    runFor(10);
    const double refCpu = childCpu(reference.processId()) - ref0;
    const bool referenceRan = reference.state() == QProcess::Running;
    feeder.stop();
    feeder.join();
    refFeeder.stop();
    refFeeder.join();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double percent = 100 * (processCpu() - cpu0 - feeder.cpu() - refFeeder.cpu()) / wall;
    if (!againstReference) {
        row(name, QStringLiteral("%1 % of one core (%2 samples)").arg(percent, 0, 'f', 2).arg(p.decoded),
            QStringLiteral("<= %1 %").arg(limit), percent <= limit && p.mismatches == 0);
        return;
    }
    reference.terminate();
    reference.waitForFinished();
    const double refPercent = 100 * refCpu / wall;
    const double ratio = refPercent > 0 ? percent / refPercent : 0;
    row(name, QStringLiteral("%1x (%2 % against %3 %)").arg(ratio, 0, 'f', 2).arg(percent, 0, 'f', 2).arg(refPercent, 0, 'f', 2),
        QStringLiteral("<= %1x").arg(limit, 0, 'f', 1), referenceRan && refPercent > 0 && ratio <= limit && p.mismatches == 0);
}

/// CPU once the device is lost, the windows open and the graph plotting: the program goes
/// idle, and watching the path for the device's return (--reconectar, four looks a second)
/// costs next to nothing. The adapter's name goes with it, as when it is pulled out.
void cpuAfterLoss(const QString &name, bool reconnect)
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyBANCO"));
    Pipeline p(link, reconnect);
    p.watchSamples();
    p.pty.write(samples(0, 100));
    runUntil([&] { return p.decoded >= 100; }, 10);
    QFile::remove(link);
    p.pty.closeSlave();
    p.pty.closeMaster();
    const bool lost = runUntil([&] { return !p.program->acquisition().status().open; }, 10);
    runFor(0.3); // settle
    const double cpu0 = processCpu();
    const auto start = Clock::now();
    runFor(5);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double percent = 100 * (processCpu() - cpu0) / wall;
    const bool toldOnce = p.reporter.failures.size() == 1;
    row(name, QStringLiteral("%1 % of one core%2").arg(percent, 0, 'f', 2).arg(toldOnce ? QString() : QStringLiteral(", NOT TOLD ONCE")),
        QStringLiteral("<= 2 %"), lost && toldOnce && percent <= 2);
}

void plottingPass()
{
    Pipeline p;
    p.program->acquisition().stop(); // nothing is decoded while passes are timed
    Kyrserie &k = p.program->kyrserie();
    for (int i = 0; i < 1000; ++i)
        k.valores[i] = sampleAt(i) % 5000;
    auto timeOne = [&](int cursor, int counter) {
        k.posgraf.set(cursor);
        k.contador.set(counter);
        const auto t0 = Clock::now();
        p.graph->Timer1_Timer();
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        QCoreApplication::processEvents(); // let the repaint happen outside the measurement
        return us;
    };
    std::vector<double> full, steady;
    for (int i = 0; i < 300; ++i)
        full.push_back(timeOne(0, 999));
    for (int i = 0; i < 3000; ++i) {
        const int at = (i * 5) % 995;
        steady.push_back(timeOne(at, at + 5));
    }
    const double f = median(full), s = median(steady);
    row(QStringLiteral("plotting pass, 1000 new samples (median)"), QStringLiteral("%1 us").arg(f, 0, 'f', 1),
        QStringLiteral("<= 100 us"), f <= 100);
    row(QStringLiteral("plotting pass, 5 new samples (median)"), QStringLiteral("%1 us").arg(s, 0, 'f', 1),
        QStringLiteral("<= 10 us"), s <= 10);
}

void latency()
{
    Pipeline p;
    constexpr int kCount = 1000;
    std::vector<Clock::time_point> written(kCount + 1);
    std::vector<double> delays, painted;
    std::mutex lock;
    QLineEdit *text1 = p.program->mainWindow().Text1();
    // When the new value reaches the screen: the first paint of Text1 after it was set.
    struct PaintWatch : QObject
    {
        std::function<void()> onPaint;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint)
                onPaint();
            return false;
        }
    } watch;
    int lastPainted = 0;
    watch.onPaint = [&] {
        const auto now = Clock::now();
        const int v = text1->text().trimmed().toInt();
        if (v < 1 || v > kCount || v == lastPainted)
            return;
        lastPainted = v;
        std::lock_guard<std::mutex> g(lock);
        painted.push_back(std::chrono::duration<double, std::milli>(now - written[v]).count());
    };
    text1->installEventFilter(&watch);
    QObject::connect(text1, &QLineEdit::textChanged, text1, [&](const QString &t) {
        const auto now = Clock::now();
        const int v = t.trimmed().toInt();
        if (v < 1 || v > kCount)
            return;
        std::lock_guard<std::mutex> g(lock);
        delays.push_back(std::chrono::duration<double, std::milli>(now - written[v]).count());
    });
    const int fd = p.pty.masterFd();
    std::thread writer([&] {
        const auto start = Clock::now();
        for (int v = 1; v <= kCount; ++v) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(v));
            const char bytes[2] = {char(v & 0xff), char(v >> 8)};
            {
                std::lock_guard<std::mutex> g(lock);
                written[v] = Clock::now();
            }
            while (::write(fd, bytes, 2) != 2)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    runUntil([&] { return p.program->kyrserie().contador.value() == kCount % 1000 && p.program->kyrserie().contador.isSet() && p.program->acquisition().waiting() == 0 && delays.size() > 0; }, 30);
    runFor(0.2);
    writer.join();
    std::lock_guard<std::mutex> g(lock);
    const double med = median(delays), p99 = percentile(delays, 0.99);
    row(QStringLiteral("latency, second byte to Text1 (1 ms apart)"),
        QStringLiteral("median %1 ms, p99 %2 ms (%3 shown)").arg(med, 0, 'f', 3).arg(p99, 0, 'f', 3).arg(delays.size()),
        QStringLiteral("<= 1 / 5 ms"), med <= 1 && p99 <= 5);
    const double pmed = median(painted), pp99 = percentile(painted, 0.99);
    row(QStringLiteral("  ... until painted (one frame is 16.7 ms)"),
        QStringLiteral("median %1 ms, p99 %2 ms").arg(pmed, 0, 'f', 2).arg(pp99, 0, 'f', 2),
        QStringLiteral("<= 16.7 ms"), pp99 <= 16.7);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // One figure alone, for profiling: bench ingest|record|rotate|cpu-fast|cpu-9600|cpu-idle|cpu-loss|pass
    const QString only = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    std::printf("  %-44s %-26s %-14s %s\n", "figure", "value", "target", "holds");
    if (only == u"cpu-9600") {
        cpuAt(QStringLiteral("CPU at 960 B/s, to a minimal reader"), 960, 1.0, true);
        return 0;
    }
    if (only == u"cpu-fast") {
        cpuAt(QStringLiteral("CPU at 1.2 MB/s (12 Mbaud line), 10 s"), 1.2e6, 10);
        return 0;
    }
    if (only == u"cpu-idle") {
        cpuAt(QStringLiteral("CPU idle while plotting, 10 s"), 0, 2);
        return 0;
    }
    if (only == u"cpu-loss") {
        cpuAfterLoss(QStringLiteral("CPU after the device is lost, 5 s"), false);
        cpuAfterLoss(QStringLiteral("... watching for its return, 5 s"), true);
        return 0;
    }
    if (only == u"ingest") {
        ingest();
        return 0;
    }
    if (only == u"record") {
        ingestRecording();
        return 0;
    }
    if (only == u"rotate") {
        recordingRotation();
        return 0;
    }
    if (only == u"pass") {
        plottingPass();
        return 0;
    }
    ingest();
    ingestRecording();
    recordingRotation();
    cpuAt(QStringLiteral("CPU at 1.2 MB/s (12 Mbaud line), 10 s"), 1.2e6, 10);
    cpuAt(QStringLiteral("CPU at 960 B/s, to a minimal reader"), 960, 1.0, true);
    cpuAt(QStringLiteral("CPU idle while plotting, 10 s"), 0, 2);
    cpuAfterLoss(QStringLiteral("CPU after the device is lost, 5 s"), false);
    cpuAfterLoss(QStringLiteral("... watching for its return, 5 s"), true);
    plottingPass();
    latency();
    int missed = 0;
    for (const auto &r : g_rows)
        missed += !r.holds;
    std::printf("\n%d of %zu targets hold.\n", int(g_rows.size()) - missed, g_rows.size());
    return 0;
}
