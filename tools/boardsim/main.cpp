// A simulated converter board: opens a pseudo-terminal, prints the path of its slave side as
// the first line, and streams 16-bit samples, low byte first, into it.

#include "waveform.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <errno.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

void usage(FILE *out)
{
    std::fprintf(out,
                 "Uso: boardsim [opciones]\n"
                 "Simula la placa conversora: abre un pseudoterminal, escribe su ruta en la primera\n"
                 "línea y envía muestras de 16 bits (byte bajo primero), de 0 a 5000.\n\n"
                 "  --baud N     ritmo de una línea de N baudios 8N1 (N/10 bytes por segundo); 9600 por defecto\n"
                 "  --flat       tan rápido como se pueda, sin ritmo\n"
                 "  --count N    enviar N muestras y terminar; sin límite por defecto\n"
                 "  --linger S   tras la última muestra, esperar S segundos antes de cerrar (1 por defecto)\n"
                 "  --archivo F  reproducir los bytes de F (una grabación --crudo) en lugar de la onda;\n"
                 "               con el ritmo de --baud, o tan rápido como se pueda con --flat\n"
                 "  --help       esta ayuda\n");
}

bool writeAll(int fd, const unsigned char *data, size_t n)
{
    while (n > 0 && !g_stop) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += w;
        n -= size_t(w);
    }
    return n == 0;
}

} // namespace

int main(int argc, char **argv)
{
    long baud = 9600;
    bool flat = false;
    long long count = -1;
    double linger = 1.0;
    const char *replay = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "boardsim: falta el valor de %s\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--baud") {
            baud = std::strtol(value(), nullptr, 10);
        } else if (a == "--flat") {
            flat = true;
        } else if (a == "--count") {
            count = std::strtoll(value(), nullptr, 10);
        } else if (a == "--archivo") {
            replay = value();
        } else if (a == "--linger") {
            linger = std::strtod(value(), nullptr);
        } else {
            std::fprintf(stderr, "boardsim: opción desconocida %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (baud <= 0) {
        std::fprintf(stderr, "boardsim: --baud debe ser positivo\n");
        return 2;
    }

    FILE *source = nullptr;
    if (replay) {
        source = std::fopen(replay, "rb");
        if (!source) {
            std::fprintf(stderr, "boardsim: no se pudo abrir %s: %s\n", replay, std::strerror(errno));
            return 1;
        }
    }

    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("boardsim: openpty");
        return 1;
    }
    // Raw from the start: the line discipline must not translate or swallow any byte, even
    // those written before the program has opened the port.
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("%s\n", name);
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    const double bytesPerSecond = baud / 10.0;
    const auto start = Clock::now();
    // How many bytes the line would have carried by now, or how many the caller may send now;
    // 0 means wait for the next 10 ms step.
    auto allowance = [&](unsigned long long alreadySent, size_t most) -> size_t {
        if (flat)
            return most;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const auto due = static_cast<unsigned long long>(elapsed * bytesPerSecond);
        if (due <= alreadySent) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return 0;
        }
        return std::min<size_t>(most, size_t(due - alreadySent));
    };
    unsigned long long sent = 0; // bytes
    std::vector<unsigned char> chunk;
    if (source) {
        // The recording's bytes exactly as they are.
        chunk.resize(64 * 1024);
        while (!g_stop) {
            const size_t want = allowance(sent, chunk.size());
            if (want == 0)
                continue;
            const size_t got = std::fread(chunk.data(), 1, want, source);
            if (got == 0 || !writeAll(master, chunk.data(), got))
                break;
            sent += got;
        }
        std::fclose(source);
    } else {
        const unsigned long long total = count < 0 ? ~0ull : 2ull * (unsigned long long)count;
        while (!g_stop && sent < total) {
            // Whole samples only, so a paced run never splits one across two writes.
            const size_t allowed = allowance(sent, size_t(std::min<unsigned long long>(2 * 4096, total - sent)));
            if (allowed < 2) {
                if (allowed == 1) // half a sample due: wait for the other half, without spinning
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            const size_t bytes = allowed & ~size_t(1);
            chunk.resize(bytes);
            for (size_t i = 0; i < bytes / 2; ++i) {
                const uint16_t v = boardsim::sampleAt(sent / 2 + i);
                chunk[2 * i] = v & 0xff;
                chunk[2 * i + 1] = v >> 8;
            }
            if (!writeAll(master, chunk.data(), chunk.size()))
                break;
            sent += bytes;
        }
    }
    // In short steps: a signal must end the wait, and sleep_for resumes after one.
    const auto lingerEnd = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(linger));
    while (!g_stop && Clock::now() < lingerEnd)
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(50), lingerEnd - Clock::now()));
    if (source)
        std::fprintf(stderr, "boardsim: %llu bytes reproducidos\n", sent);
    else
        std::fprintf(stderr, "boardsim: %llu muestras enviadas\n", sent / 2);
    close(master);
    close(slave);
    return 0;
}
