#include "testproxy.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

void setNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

TestProxy::TestProxy(quint16 target) : m_target(target)
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0
        || ::listen(m_listener, 16) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return;
    m_port = ntohs(a.sin_port);
    m_accepting = std::make_unique<QSocketNotifier>(m_listener, QSocketNotifier::Read);
    connect(m_accepting.get(), &QSocketNotifier::activated, this, &TestProxy::accept);
}

TestProxy::~TestProxy()
{
    cut(false);
    m_accepting.reset();
    if (m_listener >= 0)
        ::close(m_listener);
}

void TestProxy::cut(bool hold)
{
    m_holding = hold;
    while (!m_links.empty())
        close(m_links.front().get());
}

void TestProxy::accept()
{
    const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return;
    const int server = m_holding ? -1 : ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(m_target);
    // A blocking connect: on loopback it is answered at once, accepted or refused.
    if (server < 0 || ::connect(server, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
        if (server >= 0)
            ::close(server);
        ::close(client);
        return;
    }
    auto link = std::make_unique<Link>();
    Link *l = link.get();
    l->sides[0].fd = client;
    l->sides[1].fd = server;
    for (int i = 0; i < 2; ++i) {
        Side &s = l->sides[i];
        setNonBlocking(s.fd);
        s.readable = std::make_unique<QSocketNotifier>(s.fd, QSocketNotifier::Read);
        connect(s.readable.get(), &QSocketNotifier::activated, this, [this, l, i] { relay(l, i); });
        s.writable = std::make_unique<QSocketNotifier>(s.fd, QSocketNotifier::Write);
        s.writable->setEnabled(false);
        connect(s.writable.get(), &QSocketNotifier::activated, this, [this, l, i] { flush(l, i); });
    }
    m_links.push_back(std::move(link));
}

void TestProxy::relay(Link *link, int from)
{
    char buffer[65536];
    const ssize_t got = ::read(link->sides[from].fd, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        close(link);
        return;
    }
    if (got < 0)
        return;
    if (from == 0)
        m_fromClients += got;
    link->sides[1 - from].pending.append(buffer, got);
    flush(link, 1 - from);
}

void TestProxy::flush(Link *link, int to)
{
    Side &s = link->sides[to];
    while (!s.pending.isEmpty()) {
        const ssize_t put = ::write(s.fd, s.pending.constData(), size_t(s.pending.size()));
        if (put < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        if (put < 0) {
            close(link);
            return;
        }
        s.pending.remove(0, put);
    }
    s.writable->setEnabled(!s.pending.isEmpty());
    // While this side cannot take more, the other is not read.
    link->sides[1 - to].readable->setEnabled(s.pending.isEmpty());
}

void TestProxy::close(Link *link)
{
    for (Side &s : link->sides) {
        // Later: this may run inside one of them.
        for (auto *n : {s.readable.release(), s.writable.release()}) {
            n->setEnabled(false);
            n->deleteLater();
        }
        ::close(s.fd);
    }
    std::erase_if(m_links, [link](const std::unique_ptr<Link> &l) { return l.get() == link; });
}
