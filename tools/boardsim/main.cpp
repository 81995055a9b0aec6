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
    unsigned long long sent = 0;
    std::vector<unsigned char> chunk;
    if (source) {
        // The recording's bytes exactly as they are, paced like the line or flat out.
        unsigned long long bytes = 0;
        chunk.resize(64 * 1024);
        while (!g_stop) {
            size_t want = chunk.size();
            if (!flat) {
                const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
                const auto due = static_cast<unsigned long long>(elapsed * bytesPerSecond);
                if (due <= bytes) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    continue;
                }
                want = std::min<size_t>(want, size_t(due - bytes));
            }
            const size_t got = std::fread(chunk.data(), 1, want, source);
            if (got == 0 || !writeAll(master, chunk.data(), got))
                break;
            bytes += got;
        }
        std::fclose(source);
        if (!g_stop && linger > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(linger));
        std::fprintf(stderr, "boardsim: %llu bytes reproducidos\n", bytes);
        close(master);
        close(slave);
        return 0;
    }
    while (!g_stop && (count < 0 || (long long)sent < count)) {
        size_t samples = 4096;
        if (!flat) {
            // Send what the line would have carried by now, in 10 ms steps.
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const auto due = static_cast<unsigned long long>(elapsed * bytesPerSecond / 2);
            if (due <= sent) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            samples = size_t(due - sent);
        }
        if (count >= 0)
            samples = std::min<size_t>(samples, size_t(count - (long long)sent));
        chunk.resize(samples * 2);
        for (size_t i = 0; i < samples; ++i) {
            const uint16_t v = boardsim::sampleAt(sent + i);
            chunk[2 * i] = v & 0xff;
            chunk[2 * i + 1] = v >> 8;
        }
        if (!writeAll(master, chunk.data(), chunk.size()))
            break;
        sent += samples;
    }
    if (!g_stop && linger > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(linger));
    std::fprintf(stderr, "boardsim: %llu muestras enviadas\n", sent);
    close(master);
    close(slave);
    return 0;
}
