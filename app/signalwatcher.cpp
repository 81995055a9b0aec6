#include "signalwatcher.h"

#include "syserror.h"

#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::array<int, 4> kSignals = {SIGINT, SIGTERM, SIGHUP, SIGUSR1};
int g_fds[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t n = ::write(g_fds[0], &byte, 1);
    errno = saved;
}

void closeFds()
{
    for (int &fd : g_fds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

} // namespace

SignalWatcher::SignalWatcher(bool withReport, QObject *parent) : QObject(parent), m_watched(withReport ? 4 : 3)
{
    // A full pipe must never block the handler: the write end does not wait.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_fds) != 0 || ::fcntl(g_fds[0], F_SETFL, O_NONBLOCK) != 0) {
        m_error = QStringLiteral("No se podrán atender Ctrl+C, SIGTERM ni SIGHUP para terminar con orden (%1): "
                                 "una de esas señales terminaría el programa sin escribir lo que tenga pendiente.")
                      .arg(syserror::reason(errno));
        closeFds();
        return;
    }
    m_notifier = new QSocketNotifier(g_fds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(g_fds[1], &byte, 1) == 1)
            emit received(int(byte));
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (size_t i = 0; i < m_watched; ++i)
        ::sigaction(kSignals[i], &sa, &m_previous[i]);
    m_installed = true;
}

SignalWatcher::~SignalWatcher()
{
    if (m_installed)
        for (size_t i = 0; i < m_watched; ++i)
            ::sigaction(kSignals[i], &m_previous[i], nullptr);
    delete m_notifier;
    closeFds();
}
