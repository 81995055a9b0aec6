#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <deque>

/// Received bytes waiting to be read, in fixed-size blocks mapped straight from the system: a
/// backlog costs hardly more than its bytes, reading never moves memory, and each block goes
/// back to the system as soon as it has been read (the allocator would keep it).
class ByteQueue
{
public:
    static constexpr qsizetype kBlock = 256 * 1024;

    ByteQueue() = default;
    ~ByteQueue();
    ByteQueue(const ByteQueue &) = delete;
    ByteQueue &operator=(const ByteQueue &) = delete;

    qsizetype size() const { return m_size; }
    /// At most this many blocks hold bytes at once; beyond it room() fails as a failed mapping
    /// would (0: no limit other than the system's).
    void setMaxBlocks(qsizetype blocks) { m_maxBlocks = blocks; }

    /// Free room at the back to write into directly (never empty); commit() what was written.
    /// Throws std::bad_alloc when no memory can be had for it.
    char *room(qsizetype *length);
    void commit(qsizetype n) { m_tail += n; m_size += n; }

    quint8 front() const { return static_cast<quint8>(m_blocks.front()[m_head]); }
    /// Copies the first n bytes (n <= size()) to out and removes them.
    void take(char *out, qsizetype n);
    /// Appends a copy of every byte, leaving them in place.
    void copyTo(QByteArray &out) const;
    /// Removes the first n bytes (n <= size()).
    void drop(qsizetype n);
    /// Removes the first byte.
    void pop()
    {
        --m_size;
        if (++m_head == kBlock || m_size == 0)
            releaseFront();
    }

private:
    void releaseFront();
    static char *allocate();
    static void release(char *block);

    std::deque<char *> m_blocks;
    char *m_spare = nullptr; // one block kept back, so a steady trickle does not map and unmap
    qsizetype m_head = 0;      // read offset in the first block
    qsizetype m_tail = kBlock; // write offset in the last block
    qsizetype m_size = 0;
    qsizetype m_maxBlocks = 0;
};
