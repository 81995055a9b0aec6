#pragma once

#include <QByteArray>
#include <QObject>

#include <memory>
#include <vector>

class QSocketNotifier;

/// A TCP relay from a loopback port of its own (the kernel's choice, so never taken by another)
/// to a loopback port, driven by the test's event loop. cut() ends every connection through it
/// at once, as a lost network does: both ends see their connection closed.
class TestProxy : public QObject
{
    Q_OBJECT
public:
    explicit TestProxy(quint16 target);
    ~TestProxy() override;

    /// 0 when it could not listen.
    quint16 port() const { return m_port; }
    /// Closes every connection through it; with hold, also each new one as it comes, until release().
    void cut(bool hold);
    void release() { m_holding = false; }
    /// Connections through it now.
    int connections() const { return int(m_links.size()); }
    /// Bytes relayed from its clients towards the target so far.
    qint64 bytesFromClients() const { return m_fromClients; }

private:
    struct Side
    {
        int fd = -1;
        QByteArray pending; // read from the other side, not yet written here
        std::unique_ptr<QSocketNotifier> readable, writable;
    };
    struct Link
    {
        Side sides[2];
    };

    void accept();
    void relay(Link *link, int from);
    void flush(Link *link, int to);
    void close(Link *link);

    quint16 m_target;
    quint16 m_port = 0;
    int m_listener = -1;
    bool m_holding = false;
    qint64 m_fromClients = 0;
    std::unique_ptr<QSocketNotifier> m_accepting;
    std::vector<std::unique_ptr<Link>> m_links;
};
