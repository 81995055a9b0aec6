#include "bytequeue.h"

#include <cstring>
#include <new>
#include <sys/mman.h>

ByteQueue::~ByteQueue()
{
    for (char *b : m_blocks)
        release(b);
    release(m_spare);
}

char *ByteQueue::allocate()
{
    void *p = ::mmap(nullptr, kBlock, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    return static_cast<char *>(p);
}

void ByteQueue::release(char *block)
{
    if (block)
        ::munmap(block, kBlock);
}

char *ByteQueue::room(qsizetype *length)
{
    if (m_blocks.empty() || m_tail == kBlock) {
        if (m_maxBlocks > 0 && qsizetype(m_blocks.size()) >= m_maxBlocks)
            throw std::bad_alloc();
        char *b = m_spare ? m_spare : allocate();
        m_spare = nullptr;
        m_blocks.push_back(b);
        m_tail = 0;
        if (m_blocks.size() == 1)
            m_head = 0;
    }
    *length = kBlock - m_tail;
    return m_blocks.back() + m_tail;
}

void ByteQueue::take(char *out, qsizetype n)
{
    while (n > 0) {
        const qsizetype end = m_blocks.size() == 1 ? m_tail : kBlock;
        const qsizetype chunk = qMin(n, end - m_head);
        std::memcpy(out, m_blocks.front() + m_head, size_t(chunk));
        out += chunk;
        n -= chunk;
        m_size -= chunk;
        m_head += chunk;
        if (m_head == kBlock || m_size == 0)
            releaseFront();
    }
}

void ByteQueue::copyTo(QByteArray &out) const
{
    qsizetype offset = m_head;
    for (size_t i = 0; i < m_blocks.size(); ++i) {
        const qsizetype end = i + 1 == m_blocks.size() ? m_tail : kBlock;
        out.append(m_blocks[i] + offset, end - offset);
        offset = 0;
    }
}

void ByteQueue::drop(qsizetype n)
{
    while (n > 0) {
        const qsizetype end = m_blocks.size() == 1 ? m_tail : kBlock;
        const qsizetype chunk = qMin(n, end - m_head);
        n -= chunk;
        m_size -= chunk;
        m_head += chunk;
        if (m_head == kBlock || m_size == 0)
            releaseFront();
    }
}

void ByteQueue::releaseFront()
{
    char *b = m_blocks.front();
    m_blocks.pop_front();
    m_head = 0;
    if (m_blocks.empty())
        m_tail = kBlock;
    if (m_spare)
        release(b);
    else
        m_spare = b;
}
