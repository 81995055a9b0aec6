// A simulated converter board: opens a pseudo-terminal, prints the path of its slave side as
// the first line, and streams 16-bit samples, low byte first, into it.

#include "fileio.h"
#include "waveform.h"

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <errno.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

// The name it was run as (boardsim in the build tree, dispvanto-placa once installed).
const char *g_name = "boardsim";

void usage(FILE *out)
{
    std::fprintf(out,
                 "Uso: %s [opciones]\n"
                 "Simula la placa conversora: abre un pseudoterminal, escribe su ruta en la primera\n"
                 "línea y envía muestras de 16 bits (byte bajo primero), de 0 a 5000.\n\n"
                 "  --baud N     ritmo de una línea de N baudios 8N1 (N/10 bytes por segundo); 9600 por defecto\n"
                 "  --flat       tan rápido como se pueda, sin ritmo\n"
                 "  --count N    enviar N muestras y terminar; sin límite por defecto\n"
                 "  --linger S   tras la última muestra, esperar S segundos antes de cerrar (1 por defecto)\n"
                 "  --archivo F  reproducir los bytes de F (una grabación --crudo) en lugar de la onda;\n"
                 "               con el ritmo de --baud, o tan rápido como se pueda con --flat\n"
                 "  --help       esta ayuda\n",
                 g_name);
}

bool writeAll(int fd, const unsigned char *data, size_t n)
{
    return fileio::writeAll(fd, reinterpret_cast<const char *>(data), n, nullptr, [] { return !g_stop; }) == 0;
}

/// Why a call failed, in Spanish, for the failures opening and reading a recording can meet.
std::string reason(int err)
{
    switch (err) {
    case ENOENT: return "no existe";
    case EACCES:
    case EPERM: return "no hay permiso";
    case EISDIR: return "es una carpeta";
    case EIO: return "error de entrada/salida en el dispositivo";
    default: return "error del sistema " + std::to_string(err) + " (" + std::strerror(err) + ")";
    }
}

/// Digits only (no sign, no blanks, nothing after them), within [least, most].
std::optional<long long> wholeNumber(const char *text, long long least, long long most)
{
    if (!*text)
        return std::nullopt;
    for (const char *c = text; *c; ++c)
        if (*c < '0' || *c > '9')
            return std::nullopt;
    errno = 0;
    const long long v = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE || v < least || v > most)
        return std::nullopt;
    return v;
}

/// Digits with at most one decimal point, within [0, most].
std::optional<double> seconds(const char *text, double most)
{
    if (!*text || std::strspn(text, "0123456789.") != std::strlen(text) || std::strchr(text, '.') != std::strrchr(text, '.'))
        return std::nullopt;
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end || !(v >= 0 && v <= most))
        return std::nullopt;
    return v;
}

struct Options
{
    long long baud = 9600;
    bool flat = false;
    long long count = -1; ///< samples to send; -1: no limit
    double linger = 1.0;
    const char *replay = nullptr;
};

[[noreturn]] void refuse(const std::string &option, const char *expected, const char *given)
{
    std::fprintf(stderr, "%s: %s necesita %s, no «%s»\n", g_name, option.c_str(), expected, given);
    std::exit(2);
}

/// Reads the options; exits with status 2 and a message on any it cannot follow exactly.
Options parseOptions(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: falta el valor de %s\n", g_name, a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help") {
            usage(stdout);
            if (std::fflush(stdout) == 0)
                std::exit(0);
            std::fprintf(stderr, "%s: no se pudo escribir la ayuda: %s\n", g_name, reason(errno).c_str());
            std::exit(1);
        } else if (a == "--baud") {
            const char *v = value();
            o.baud = wholeNumber(v, 1, 1000000000).value_or(0);
            if (o.baud == 0)
                refuse(a, "un número entero de baudios entre 1 y 1000000000", v);
        } else if (a == "--flat") {
            o.flat = true;
        } else if (a == "--count") {
            const char *v = value();
            // Bounded so that the byte count (two per sample) cannot overflow.
            o.count = wholeNumber(v, 0, LLONG_MAX / 2).value_or(-1);
            if (o.count < 0)
                refuse(a, "un número entero de muestras, de 0 en adelante", v);
        } else if (a == "--archivo") {
            o.replay = value();
        } else if (a == "--linger") {
            const char *v = value();
            o.linger = seconds(v, 86400).value_or(-1);
            if (o.linger < 0)
                refuse(a, "los segundos como número decimal entre 0 y 86400 (p. ej. 0.5)", v);
        } else {
            std::fprintf(stderr, "%s: opción desconocida %s\n", g_name, a.c_str());
            usage(stderr);
            std::exit(2);
        }
    }
    return o;
}

/// Opens the recording to play back; exits with status 1 and the reason when it cannot be read.
FILE *openRecording(const char *path)
{
    FILE *source = std::fopen(path, "rb");
    if (!source) {
        std::fprintf(stderr, "%s: no se pudo abrir %s: %s\n", g_name, path, reason(errno).c_str());
        std::exit(1);
    }
    // A folder opens like a file and then reads as nothing: it would pass for an empty recording.
    struct stat st {};
    if (::fstat(fileno(source), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "%s: %s es una carpeta, no una grabación\n", g_name, path);
        std::exit(1);
    }
    return source;
}

using Clock = std::chrono::steady_clock;

/// The pace of a line: how many bytes it may carry now.
class Pacer
{
public:
    Pacer(long long baud, bool flat) : m_bytesPerSecond(double(baud) / 10.0), m_flat(flat) {}

    /// How many of most bytes may go now, given how many went; 0 after waiting a 10 ms step.
    size_t allowance(unsigned long long alreadySent, size_t most) const
    {
        if (m_flat)
            return most;
        const double elapsed = std::chrono::duration<double>(Clock::now() - m_start).count();
        const auto due = static_cast<unsigned long long>(elapsed * m_bytesPerSecond);
        if (due <= alreadySent) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return 0;
        }
        return std::min<size_t>(most, size_t(due - alreadySent));
    }

private:
    Clock::time_point m_start = Clock::now();
    double m_bytesPerSecond;
    bool m_flat;
};

/// The recording's bytes exactly as they are. Returns the bytes sent; readFailed: the error
/// that cut the playback short, or 0.
unsigned long long playBack(int master, FILE *source, const Pacer &pacer, int *readFailed)
{
    std::vector<unsigned char> chunk(64 * 1024);
    unsigned long long sent = 0;
    while (!g_stop) {
        const size_t want = pacer.allowance(sent, chunk.size());
        if (want == 0)
            continue;
        const size_t got = std::fread(chunk.data(), 1, want, source);
        if (got == 0 || !writeAll(master, chunk.data(), got))
            break;
        sent += got;
    }
    *readFailed = std::ferror(source) ? (errno ? errno : EIO) : 0;
    std::fclose(source);
    return sent;
}

/// The waveform, count samples (all of them with -1). Returns the bytes sent.
unsigned long long sendWaveform(int master, long long count, const Pacer &pacer)
{
    const unsigned long long total = count < 0 ? ~0ull : 2ull * (unsigned long long)count;
    std::vector<unsigned char> chunk;
    unsigned long long sent = 0;
    while (!g_stop && sent < total) {
        // Whole samples only, so a paced run never splits one across two writes.
        const size_t allowed = pacer.allowance(sent, size_t(std::min<unsigned long long>(2 * 4096, total - sent)));
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
    return sent;
}

/// Opens the pseudo-terminal, raw, and prints its path; exits with status 1 when it cannot.
void openBoard(int *master, int *slave)
{
    char name[256] = {};
    if (openpty(master, slave, name, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "%s: no se pudo abrir un pseudoterminal: %s\n", g_name, reason(errno).c_str());
        std::exit(1);
    }
    // Raw from the start: the line discipline must not translate or swallow any byte, even
    // those written before the program has opened the port.
    termios tio{};
    tcgetattr(*slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(*slave, TCSANOW, &tio);
    std::printf("%s\n", name);
    std::fflush(stdout);
}

/// Waits the given seconds, in short steps: a signal must end the wait.
void linger(double seconds)
{
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (!g_stop && Clock::now() < end)
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(50), end - Clock::now()));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 0 && argv[0] && *argv[0]) {
        const char *slash = std::strrchr(argv[0], '/');
        g_name = slash ? slash + 1 : argv[0];
    }
    const Options options = parseOptions(argc, argv);
    FILE *source = options.replay ? openRecording(options.replay) : nullptr;
    // A signal interrupts a write that waits for the reader (no restart), and ends the run.
    struct sigaction stop {};
    stop.sa_handler = onSignal;
    sigemptyset(&stop.sa_mask);
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    int master = -1, slave = -1;
    openBoard(&master, &slave);

    const Pacer pacer(options.baud, options.flat);
    int readFailed = 0;
    const unsigned long long sent = source ? playBack(master, source, pacer, &readFailed)
                                           : sendWaveform(master, options.count, pacer);
    linger(options.linger);
    if (source)
        std::fprintf(stderr, "%s: %llu bytes reproducidos\n", g_name, sent);
    else
        std::fprintf(stderr, "%s: %llu muestras enviadas\n", g_name, sent / 2);
    if (readFailed)
        std::fprintf(stderr, "%s: la lectura de %s falló tras %llu bytes: %s\n", g_name, options.replay, sent,
                     reason(readFailed).c_str());
    close(master);
    close(slave);
    return readFailed ? 1 : 0;
}
