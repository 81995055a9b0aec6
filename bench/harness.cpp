#include "harness.h"

#include "frmdispvanto.h"
#include "grfvanto.h"

#include <QFile>
#include <cstdio>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace bench {

namespace {
double seconds(const rusage &u)
{
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
} // namespace

double processCpu()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return seconds(u);
}

double threadCpu()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return seconds(u);
}

double residentMiB()
{
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024 * 1024) : 0;
}

double peakResidentMiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024.0;
}

void runFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

QByteArray samples(quint64 first, quint64 count)
{
    QByteArray out(qsizetype(count * 2), Qt::Uninitialized);
    for (quint64 i = 0; i < count; ++i) {
        const quint16 s = sampleAt(first + i);
        out[qsizetype(2 * i)] = char(s & 0xff);
        out[qsizetype(2 * i + 1)] = char(s >> 8);
    }
    return out;
}

Feeder::Feeder(int masterFd, quint64 totalSamples, double bytesPerSecond)
    : m_fd(masterFd), m_total(totalSamples), m_rate(bytesPerSecond)
{
}

Feeder::~Feeder()
{
    stop();
    join();
}

void Feeder::start()
{
    m_thread = std::thread([this] { run(); });
}

void Feeder::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void Feeder::run()
{
    const auto start = Clock::now();
    const double cpuStart = threadCpu();
    QByteArray chunk;
    quint64 sent = 0;
    qsizetype chunkPos = 0;
    while (!m_stop && (sent < m_total || chunkPos < chunk.size())) {
        if (chunkPos == chunk.size()) {
            quint64 n = 32768;
            if (m_rate > 0) {
                const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
                const auto due = quint64(elapsed * m_rate / 2);
                // Bytes leave in steps, as from a UART with a 16-byte FIFO or a USB adapter's
                // packets: at least 16 bytes or 1 ms at a time.
                if ((due - std::min(due, sent)) * 2 < 16 && sent + 8 < m_total) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                n = due - sent;
            }
            n = std::min(n, m_total - sent);
            chunk = samples(sent, n);
            chunkPos = 0;
            sent += n;
        }
        pollfd pfd{m_fd, POLLOUT, 0};
        if (::poll(&pfd, 1, 50) <= 0)
            continue;
        const ssize_t w = ::write(m_fd, chunk.constData() + chunkPos, size_t(chunk.size() - chunkPos));
        if (w > 0) {
            chunkPos += w;
            if (chunkPos == chunk.size())
                m_sent = sent;
        }
    }
    m_cpu = threadCpu() - cpuStart;
}

Pipeline::Pipeline(const QString &deviceLink, bool reconnect)
{
    if (!deviceLink.isEmpty() && !QFile::link(pty.slavePath(), deviceLink))
        std::fprintf(stderr, "no se pudo crear el enlace %s\n", qPrintable(deviceLink));
    PortChoice ports;
    ports.com1 = QFile::encodeName(deviceLink.isEmpty() ? pty.slavePath() : deviceLink);
    ports.reconnect = reconnect;
    program = std::make_unique<Program>(&reporter, QStringLiteral("/nonexistent/serphcn.cmm"), ports);
    frmdispVanto &main = program->mainWindow();
    main.setExitFunction([] {});
    // As Confserie does: reception is the acquisition's to switch, so plotting passes keep it on.
    program->acquisition().apply(1, QStringLiteral("921600,N,8,1"));
    main.show();
    main.mnugrafico_Click();
    graph = qobject_cast<GRFVanto *>(main.graficoWindow());
    graph->Graficar_Click();
}

Pipeline::~Pipeline() = default;

void Pipeline::finish()
{
    bool ended = false;
    QObject::connect(&program->run(), &Run::finished, &program->run(), [&ended] { ended = true; });
    program->finish();
    runUntil([&] { return ended; }, 2 * Run::kEndWaitMs / 1000.0);
}

void Pipeline::watchSamples()
{
    // A batch completes fewer than 1000 samples, so at its end every new sample is in the ring.
    Kyrserie &k = program->kyrserie();
    Acquisition &a = program->acquisition();
    QObject::connect(&a, &Acquisition::delivered, &a, [this, &k] {
        if (!k.contador.isSet())
            return;
        while (m_lastCounter != k.contador.value()) {
            m_lastCounter = (m_lastCounter + 1) % Kyrserie::kRingSlots;
            const quint16 v = quint16(k.valores[m_lastCounter]);
            mismatches += v != sampleAt(decoded);
            checksum = checksum * 31 + v;
            ++decoded;
        }
    });
}

} // namespace bench
