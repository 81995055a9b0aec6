#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <thread>

/// A pseudo-terminal for tests: the program opens slavePath() as its port, the test writes
/// to the master side as the board would.
class Pty
{
public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_path; }
    /// Writes every byte (waiting while the other side drains); false on failure.
    bool write(const QByteArray &bytes);
    /// Writes from a thread of its own, so the event loop can drain the port meanwhile.
    void writeInBackground(const QByteArray &bytes);
    /// Waits for the background writer; true when it wrote everything.
    bool waitWritten();
    /// Closes the master side: the device vanishes for whoever holds the slave.
    void closeMaster();
    /// Closes our own slave descriptor (kept open so early writes are not lost).
    void closeSlave();
    int masterFd() const { return m_master; }

private:
    bool writeUntilStopped(const QByteArray &bytes);

    std::thread m_writer;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_written{false};
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
};

/// CPU time this process has used so far, in seconds (to check that waiting does not spin).
double processCpuSeconds();

/// Samples as the board sends them: two bytes each, low byte first.
QByteArray samplesToBytes(const QList<quint16> &samples);
