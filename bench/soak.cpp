// Runs the program path for a long while against a feeder paced at 115200 baud with the graph
// plotting, then reports what was sent and decoded and how resident memory moved.
// Usage: soak [SECONDS]   (600 by default)

#include "harness.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

using namespace bench;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const double duration = argc > 1 ? std::atof(argv[1]) : 600;
    constexpr double kBytesPerSecond = 115200 / 10.0;

    Pipeline p;
    p.watchSamples();
    runFor(0.5);
    const double rssStart = residentMiB();
    Feeder feeder(p.pty.masterFd(), ~0ull >> 2, kBytesPerSecond);
    const double cpu0 = processCpu();
    const auto start = Clock::now();
    feeder.start();
    double nextReport = 60;
    while (true) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed >= duration)
            break;
        runFor(std::min(1.0, duration - elapsed));
        if (elapsed >= nextReport) {
            std::printf("  %4.0f s: %llu samples decoded, %.1f MiB resident\n", elapsed,
                        (unsigned long long)p.decoded, residentMiB());
            std::fflush(stdout);
            nextReport += 60;
        }
    }
    feeder.stop();
    feeder.join();
    const quint64 sent = feeder.sentSamples();
    runUntil([&] { return p.decoded >= sent; }, 10);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = 100 * (processCpu() - cpu0 - feeder.cpu()) / wall;
    quint64 sentChecksum = 0;
    for (quint64 i = 0; i < sent; ++i)
        sentChecksum = sentChecksum * 31 + sampleAt(i);
    const bool ok = p.decoded == sent && p.mismatches == 0 && p.checksum == sentChecksum && p.reporter.failures.isEmpty();
    std::printf("soak: %.0f s at 115200 baud with the graph plotting\n", wall);
    std::printf("  samples sent %llu, decoded %llu, wrong %llu\n", (unsigned long long)sent,
                (unsigned long long)p.decoded, (unsigned long long)p.mismatches);
    std::printf("  checksum sent %016llx, decoded %016llx: %s\n", (unsigned long long)sentChecksum,
                (unsigned long long)p.checksum, p.checksum == sentChecksum ? "equal" : "DIFFER");
    std::printf("  resident memory: %.1f MiB at start, %.1f MiB at end; CPU %.2f %% of one core\n", rssStart,
                residentMiB(), cpu);
    std::printf("  %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
