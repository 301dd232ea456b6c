#include "model/FileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pagecount {

FileReader::FileReader(const QByteArray& path)
{
    // Non-blocking, so that a FIFO or device under a .tif or .pdf name cannot hold the
    // count up; only regular files are read.
    m_fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (m_fd < 0)
        return;
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_size = quint64(st.st_size);
}

FileReader::~FileReader()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

quint64 FileReader::dataFrom(quint64 offset) const
{
    const off_t data = ::lseek(m_fd, off_t(offset), SEEK_DATA);
    if (data >= 0)
        return std::max(quint64(data), offset);
    return errno == ENXIO ? m_size : offset;
}

size_t FileReader::readAt(quint64 offset, char* out, size_t count)
{
    size_t done = 0;
    while (done < count && offset < m_size) {
        if (offset >= m_windowStart && offset < m_windowStart + m_windowLength) {
            const size_t n = std::min(count - done, size_t(m_windowStart + m_windowLength - offset));
            std::memcpy(out + done, m_window.get() + (offset - m_windowStart), n);
            done += n;
            offset += n;
            continue;
        }
        if (count - done >= kWindowBytes) {
            // A large read goes straight to the caller.
            const ssize_t n = preadFully(out + done, count - done, offset);
            if (n <= 0)
                break;
            done += size_t(n);
            offset += quint64(n);
            continue;
        }
        if (!m_window)
            m_window = std::make_unique<char[]>(kWindowBytes);
        const ssize_t n = preadFully(m_window.get(), kWindowBytes, offset);
        m_windowStart = offset;
        m_windowLength = n > 0 ? size_t(n) : 0;
        if (n <= 0)
            break;
    }
    return done;
}

ssize_t FileReader::preadFully(char* out, size_t count, quint64 offset)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(m_fd, out + done, count - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return done > 0 ? ssize_t(done) : -1;
        if (n == 0)
            break;
        done += size_t(n);
    }
    return ssize_t(done);
}

} // namespace pagecount
