#include "testpty.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <QList>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

Pty::Pty()
{
    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    // Raw at once, so the line discipline passes every byte through untouched.
    termios tio{};
    tcgetattr(m_slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_slave, TCSANOW, &tio);
    m_path = QString::fromLocal8Bit(name);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Programs the test starts must not hold the board's ends: a process that has the
    // device open is one that opened it itself.
    for (int fd : {m_master, m_slave})
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty()
{
    m_stop = true;
    if (m_writer.joinable())
        m_writer.join();
    closeMaster();
    closeSlave();
}

bool Pty::write(const QByteArray &bytes)
{
    return writeUntilStopped(bytes);
}

void Pty::writeInBackground(const QByteArray &bytes)
{
    waitWritten();
    m_written = false;
    m_writer = std::thread([this, bytes] { m_written = writeUntilStopped(bytes); });
}

void Pty::writeGeneratedInBackground(qint64 count, std::function<char(qint64)> make)
{
    waitWritten();
    m_written = false;
    m_writer = std::thread([this, count, make] {
        QByteArray block(64 * 1024, Qt::Uninitialized);
        for (qint64 at = 0; at < count && !m_stop;) {
            const qsizetype n = qsizetype(qMin<qint64>(block.size(), count - at));
            for (qsizetype i = 0; i < n; ++i)
                block[i] = make(at + i);
            if (!writeUntilStopped(block.first(n)))
                return;
            at += n;
        }
        m_written = !m_stop;
    });
}

bool Pty::waitWritten()
{
    if (m_writer.joinable())
        m_writer.join();
    return m_written;
}

bool Pty::writeUntilStopped(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0 && !m_stop) {
        pollfd pfd{m_master, POLLOUT, 0};
        if (::poll(&pfd, 1, 100) <= 0)
            continue;
        const ssize_t n = ::write(m_master, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return left == 0;
}

void Pty::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void Pty::closeSlave()
{
    if (m_slave >= 0)
        ::close(m_slave);
    m_slave = -1;
}

QByteArray samplesToBytes(const QList<quint16> &samples)
{
    QByteArray out;
    out.reserve(samples.size() * 2);
    for (quint16 s : samples) {
        out.append(char(s & 0xff));
        out.append(char(s >> 8));
    }
    return out;
}

FileSizeLimit::FileSizeLimit(qint64 bytes)
{
    rlimit saved{};
    if (::getrlimit(RLIMIT_FSIZE, &saved) != 0)
        return;
    m_savedCur = (long long)saved.rlim_cur;
    m_savedMax = (long long)saved.rlim_max;
    m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = rlim_t(bytes);
    m_ok = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
}

FileSizeLimit::~FileSizeLimit()
{
    rlimit saved{rlim_t(m_savedCur), rlim_t(m_savedMax)};
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, m_savedHandler);
}

bool runUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    return -1;
}
