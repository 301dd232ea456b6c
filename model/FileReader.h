#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>
#include <memory>

#include <sys/types.h>

namespace pagecount {

// An open regular file, read with pread through a small window. Files up to a megabyte are
// never mapped: unmapping interrupts the other cores to flush their address translations,
// which on a virtual machine costs more than counting such a file. FileMapping serves larger
// ones.
class FileReader {
public:
    // Opens `path` when it is a regular file that is not empty; isOpen() tells.
    explicit FileReader(const QByteArray& path);
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    quint64 size() const { return m_size; }

    // Copies up to `count` bytes at `offset` into `out`; returns how many (fewer at the end
    // of the file or on an error).
    size_t readAt(quint64 offset, char* out, size_t count);

    // The first offset at or after `offset` where a sparse file holds data rather than a hole,
    // which reads as zero bytes; size() past its last data, and `offset` where the file system
    // does not tell. (The descriptor's offset moves; reads are preads and never look at it.)
    quint64 dataFrom(quint64 offset) const;

    // Reads `count` bytes at `offset` straight into `out`, past interruptions and short reads,
    // bypassing the window; returns how many (fewer at the end of the file), -1 on an error
    // before any byte.
    ssize_t preadFully(char* out, size_t count, quint64 offset);

private:
    static constexpr size_t kWindowBytes = 16 * 1024;

    int m_fd = -1;
    quint64 m_size = 0;
    std::unique_ptr<char[]> m_window; // the thread's kept one, when no other reader has it
    quint64 m_windowStart = 0;
    size_t m_windowLength = 0;
};

// A read-only map of a whole open file, for a reader that touches a few scattered places of a
// large one. A file cut shorter while it is mapped would raise SIGBUS where a page past its new
// end is touched; a handler, installed with the first map, puts zero pages over the rest of the
// mapping instead, and shrank() tells that what was read is void. One mapping per thread at a
// time.
class FileMapping {
public:
    FileMapping() = default;
    ~FileMapping() { unmap(); }
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    // Maps the first `size` bytes of `fd`; false (and nothing mapped) when it cannot.
    bool map(int fd, quint64 size);
    void unmap();

    const char* data() const { return m_data; }
    // The file ended before the mapping did while it was read.
    bool shrank() const;

private:
    const char* m_data = nullptr;
    size_t m_length = 0;
};

} // namespace pagecount
