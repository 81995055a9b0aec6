#pragma once

// File descriptors and complete writes, in plain POSIX: the settings file, the recorder and the
// simulated board all need "write everything, go on after a signal" and "close exactly once".

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace fileio {

/// Owns one file descriptor and closes it once.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1) noexcept : m_fd(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(FileDescriptor &&other) noexcept : m_fd(other.release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        if (this != &other) {
            close();
            m_fd = other.release();
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int get() const noexcept { return m_fd; }
    bool isOpen() const noexcept { return m_fd >= 0; }
    int release() noexcept
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    /// Closes it; 0, or -1 with errno set (space on some file systems is claimed only here).
    int close() noexcept
    {
        const int r = m_fd >= 0 ? ::close(m_fd) : 0;
        m_fd = -1;
        return r;
    }

private:
    int m_fd;
};

/// Writes all size bytes, going on after a signal interrupts. Returns 0 once everything is
/// written, or the error number of the write that failed (ENOSPC for one that wrote nothing).
/// written, if given, counts the bytes that did reach the file. keepGoing() is asked between
/// partial writes: returning false stops early with EINTR.
template <typename KeepGoing>
int writeAll(int fd, const char *data, size_t size, size_t *written, KeepGoing keepGoing)
{
    size_t done = 0;
    int err = 0;
    while (done < size) {
        if (!keepGoing()) {
            err = EINTR;
            break;
        }
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            break;
        }
        done += size_t(n);
    }
    if (written)
        *written = done;
    return err;
}

inline int writeAll(int fd, const char *data, size_t size, size_t *written = nullptr)
{
    return writeAll(fd, data, size, written, [] { return true; });
}

} // namespace fileio
