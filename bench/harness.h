#pragma once

#include "program.h"
#include "testpty.h"

#include <QByteArray>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

class GRFVanto;

namespace bench {

using Clock = std::chrono::steady_clock;

/// Process CPU time (all threads), in seconds.
double processCpu();
/// CPU time of the calling thread, in seconds.
double threadCpu();
/// Resident memory now, and the peak so far, in MiB.
double residentMiB();
double peakResidentMiB();

/// The sample the feeders send as sample number i: every 16-bit value turns up, and a lost or
/// shifted byte changes every later sample.
inline quint16 sampleAt(quint64 i) { return quint16((i * 40503u + (i >> 16)) & 0xffff); }
QByteArray samples(quint64 first, quint64 count);

/// Writes samples into a pseudo-terminal from a thread of its own: flat out, or paced to a
/// byte rate in 1 ms steps. It counts its own CPU time so that it can be left out.
class Feeder
{
public:
    Feeder(int masterFd, quint64 totalSamples, double bytesPerSecond /* 0: flat out */);
    ~Feeder();
    void start();
    void join();
    void stop() { m_stop = true; }
    quint64 sentSamples() const { return m_sent; }
    double cpu() const { return m_cpu; }

private:
    void run();
    int m_fd;
    quint64 m_total;
    double m_rate;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<quint64> m_sent{0};
    std::atomic<double> m_cpu{0};
};

/// The real program path: the program's windows on a pseudo-terminal as COM1, the port open
/// with reception on, and the graph window plotting on its timer at zoom 10. With a link path,
/// COM1 is a symbolic link made there to the terminal, as a stable name for an adapter.
struct Pipeline
{
    explicit Pipeline(const QString &deviceLink = QString(), bool reconnect = false);
    ~Pipeline();
    /// Counts and checksums every sample at the end of each delivered batch.
    void watchSamples();
    /// Ends the program's run as "salir" does, and waits for that end.
    void finish();

    RecordingReporter reporter;
    std::unique_ptr<Program> program;
    Pty pty;
    GRFVanto *graph = nullptr;
    quint64 decoded = 0;
    quint64 mismatches = 0;
    quint64 checksum = 0;

private:
    int m_lastCounter = 0;
};

/// Runs the event loop, idle between events, for a while.
void runFor(double seconds);

/// Runs the event loop until done() (checked every 2 ms) or the timeout; returns whether done() held.
template <typename Done>
bool runUntil(Done done, double timeoutSeconds);

} // namespace bench

#include <QEventLoop>
#include <QTimer>

template <typename Done>
bool bench::runUntil(Done done, double timeoutSeconds)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(2);
    QTimer::singleShot(int(timeoutSeconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}
