#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
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
    /// Writes bytes made as it goes (in blocks, so a flood costs the test no memory), from a
    /// thread of its own. make(i) gives stream byte i.
    void writeGeneratedInBackground(qint64 count, std::function<char(qint64)> make);
    /// Whether the background writer has written everything (does not wait).
    bool written() const { return m_written; }
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

/// While it lives, this process may not make a file larger than the given size: a write past
/// it fails with EFBIG, as the kernel refuses a write on a full disk (SIGXFSZ is ignored).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(qint64 bytes);
    ~FileSizeLimit();
    bool isValid() const { return m_ok; }

private:
    bool m_ok = false;
    long long m_savedCur = 0, m_savedMax = 0;
    void (*m_savedHandler)(int) = nullptr;
};

/// Runs the event loop until done() holds or the time is up; true when it holds. Unlike the
/// QTRY macros it never sleeps between turns, so a flood is drained at full speed.
bool runUntil(const std::function<bool()> &done, int timeoutMs);

/// Resident memory of this process now, in bytes (VmRSS).
qint64 residentBytes();

/// Samples as the board sends them: two bytes each, low byte first.
QByteArray samplesToBytes(const QList<quint16> &samples);
