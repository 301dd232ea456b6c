#include "model/FileReader.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>

namespace pagecount {

namespace {

// This thread's mapping, for the SIGBUS handler: initial-exec, so that reading it there never
// allocates.
struct MappedRange {
    uintptr_t begin = 0;
    uintptr_t end = 0; // a page boundary
    volatile sig_atomic_t shrank = 0;
};
__attribute__((tls_model("initial-exec"))) thread_local MappedRange t_mapped;

struct sigaction g_previousBusAction {};
uintptr_t g_pageSize = 4096;

extern "C" void onBusError(int signal, siginfo_t* info, void* context)
{
    MappedRange& range = t_mapped;
    const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
    if (at >= range.begin && at < range.end) {
        // Past the file's new end: zero pages from the faulting one on, and the read goes on.
        const uintptr_t page = at & ~(g_pageSize - 1);
        void* zeros = ::mmap(reinterpret_cast<void*>(page), range.end - page, PROT_READ,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros != MAP_FAILED) {
            range.shrank = 1;
            return;
        }
    }
    // Not a mapped file's: whoever handled it before does, or the default ends the process when
    // the faulting access runs again.
    if ((g_previousBusAction.sa_flags & SA_SIGINFO) && g_previousBusAction.sa_sigaction) {
        g_previousBusAction.sa_sigaction(signal, info, context);
    } else if (g_previousBusAction.sa_handler != SIG_DFL && g_previousBusAction.sa_handler != SIG_IGN &&
               g_previousBusAction.sa_handler) {
        g_previousBusAction.sa_handler(signal);
    } else {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(SIGBUS, &fallback, nullptr);
    }
}

void installBusHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        g_pageSize = uintptr_t(::sysconf(_SC_PAGESIZE));
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        ::sigaction(SIGBUS, &action, &g_previousBusAction);
    });
}

// The window of the thread's last reader, kept for its next one.
thread_local std::unique_ptr<char[]> t_keptWindow;

} // namespace

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
    if (m_window)
        t_keptWindow = std::move(m_window);
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
            m_window = t_keptWindow ? std::move(t_keptWindow) : std::make_unique<char[]>(kWindowBytes);
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

bool FileMapping::map(int fd, quint64 size)
{
    unmap();
    if (size == 0 || size > std::numeric_limits<size_t>::max() / 2)
        return false;
    installBusHandler();
    void* data = ::mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (data == MAP_FAILED)
        return false;
    m_data = static_cast<const char*>(data);
    m_length = size_t(size);
    t_mapped.begin = reinterpret_cast<uintptr_t>(data);
    t_mapped.end = (t_mapped.begin + m_length + g_pageSize - 1) & ~(g_pageSize - 1);
    t_mapped.shrank = 0;
    return true;
}

void FileMapping::unmap()
{
    if (!m_data)
        return;
    t_mapped.begin = t_mapped.end = 0;
    ::munmap(const_cast<char*>(m_data), m_length);
    m_data = nullptr;
    m_length = 0;
}

bool FileMapping::shrank() const
{
    return m_data && t_mapped.shrank != 0;
}

} // namespace pagecount
