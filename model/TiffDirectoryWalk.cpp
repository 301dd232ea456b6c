#include "model/TiffDirectoryWalk.h"

#include "model/CountingBudget.h"
#include "model/FileReader.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include <unistd.h>

namespace pagecount {

namespace {

// libtiff stops following a chain once it has met this many directories (TIFF_MAX_DIR_COUNT).
constexpr quint64 kMaxDirectories = 1048576;

struct Layout {
    bool bigEndian = false;
    bool bigTiff = false;
    quint64 firstDirectory = 0;
};

quint64 readUnsigned(const unsigned char* bytes, size_t size, bool bigEndian)
{
    quint64 value = 0;
    for (size_t i = 0; i < size; ++i)
        value |= quint64(bytes[bigEndian ? i : size - 1 - i]) << (8 * (size - 1 - i));
    return value;
}

// The header as libtiff checks it on opening; nullopt for one it refuses.
std::optional<Layout> readHeader(FileReader& file)
{
    unsigned char header[16];
    const size_t got = file.readAt(0, reinterpret_cast<char*>(header), sizeof header);
    if (got < 8)
        return std::nullopt;
    Layout layout;
    if (header[0] == 'M' && header[1] == 'M')
        layout.bigEndian = true;
    else if (header[0] != 'I' || header[1] != 'I')
        return std::nullopt;
    const quint64 version = readUnsigned(header + 2, 2, layout.bigEndian);
    if (version == 42) {
        layout.firstDirectory = readUnsigned(header + 4, 4, layout.bigEndian);
        return layout;
    }
    // BigTIFF: offsets of 8 bytes and a reserved field of 0, or libtiff does not open it.
    if (version != 43 || got < 16 || readUnsigned(header + 4, 2, layout.bigEndian) != 8 ||
        readUnsigned(header + 6, 2, layout.bigEndian) != 0)
        return std::nullopt;
    layout.bigTiff = true;
    layout.firstDirectory = readUnsigned(header + 8, 8, layout.bigEndian);
    return layout;
}

// The offsets of the directories met so far. A chain written front to back climbs through
// the file, so an offset past every earlier one is new without a look-up, and the offsets
// stay sorted for a binary search; only a chain that turns back to a new place costs a hash set.
class SeenOffsets {
public:
    bool contains(quint64 offset) const
    {
        if (m_hashed)
            return m_hashed->count(offset) != 0;
        return offset <= m_highest && std::binary_search(m_ascending.begin(), m_ascending.end(), offset);
    }

    // `offset` is not in the set yet.
    void add(quint64 offset)
    {
        ++m_size;
        if (m_hashed) {
            m_hashed->insert(offset);
            return;
        }
        if (m_ascending.empty() || offset > m_highest) {
            m_ascending.push_back(offset);
            m_highest = offset;
            return;
        }
        m_hashed.emplace(m_ascending.begin(), m_ascending.end());
        m_hashed->insert(offset);
        m_ascending = {};
    }

    quint64 size() const { return m_size; }

private:
    std::vector<quint64> m_ascending;
    quint64 m_highest = 0;
    std::optional<std::unordered_set<quint64>> m_hashed;
    quint64 m_size = 0;
};

// Reads the directories' entry counts and links. A directory far from the last one is read
// with a small read straight from the file: filling the file reader's 16 KiB window to use a
// dozen bytes of it costs about twice as much. Directories close together are read 16 KiB at a
// time, and the start of the file, which the reader's window holds once the header is read,
// through the reader.
class ChainReader {
public:
    explicit ChainReader(FileReader& file) : m_file(file), m_fileSize(file.size()) {}

    // Copies `count` bytes (at most 8) at `offset` into `out`; `near` when the directory read lies
    // close to the one before. False when the file gives fewer bytes.
    bool read(quint64 offset, unsigned char* out, size_t count, bool near)
    {
        if (offset + count <= kHeadBytes)
            return m_file.readAt(offset, reinterpret_cast<char*>(out), count) == count;
        if (offset < m_start || offset + count > m_start + m_length) {
            fill(offset, near ? sizeof m_buffer : kSmallRead);
            if (m_length < count)
                return false;
        }
        std::memcpy(out, m_buffer + (offset - m_start), count);
        return true;
    }

private:
    static constexpr quint64 kHeadBytes = 16 * 1024;
    static constexpr size_t kSmallRead = 512;

    void fill(quint64 offset, size_t wanted)
    {
        wanted = size_t(std::min<quint64>(wanted, m_fileSize - offset));
        size_t done = 0;
        while (done < wanted) {
            const ssize_t n = ::pread(m_file.fd(), m_buffer + done, wanted - done, off_t(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += size_t(n);
        }
        m_start = offset;
        m_length = done;
    }

    FileReader& m_file;
    quint64 m_fileSize;
    unsigned char m_buffer[16 * 1024];
    quint64 m_start = 0;
    size_t m_length = 0;
};

// Directories closer than this to the one before are taken to lie close together.
constexpr quint64 kNearBytes = 4096;

} // namespace

std::optional<quint32> walkTiffDirectories(FileReader& file, CountingBudget& budget)
{
    if (!budget.poll())
        return std::nullopt;
    const std::optional<Layout> layout = readHeader(file);
    if (!layout || layout->firstDirectory == 0)
        return 0;
    const quint64 fileSize = file.size();
    // Sizes of the entry count, of one entry and of the next-directory offset.
    const size_t countBytes = layout->bigTiff ? 8 : 2;
    const quint64 entryBytes = layout->bigTiff ? 20 : 12;
    const size_t linkBytes = layout->bigTiff ? 8 : 4;

    quint32 directories = 0;
    quint64 offset = layout->firstDirectory;
    unsigned char bytes[8];
    ChainReader reader(file);
    bool near = false;
    try {
        SeenOffsets seen;
        seen.add(offset);
        for (;;) {
            if (!budget.poll())
                return std::nullopt;
            if (offset > fileSize || fileSize - offset < countBytes)
                return directories;
            if (!reader.read(offset, bytes, countBytes, near))
                return std::nullopt;
            const quint64 entries = readUnsigned(bytes, countBytes, layout->bigEndian);
            if (entries > 0xFFFF)
                return directories;
            // No overflow: offset is within the file and the entries take at most 20 * 65535 bytes.
            const quint64 link = offset + countBytes + entries * entryBytes;
            if (link > fileSize || fileSize - link < linkBytes)
                return directories;
            if (!reader.read(link, bytes, linkBytes, near))
                return std::nullopt;
            const quint64 next = readUnsigned(bytes, linkBytes, layout->bigEndian);
            ++directories;
            if (next == 0 || seen.contains(next) || seen.size() >= kMaxDirectories)
                return directories;
            seen.add(next);
            near = (next > offset ? next - offset : offset - next) < kNearBytes;
            offset = next;
        }
    } catch (const std::bad_alloc&) {
        // Out of memory or past the budget's memory bound (which then says so to the caller).
        return std::nullopt;
    }
}

} // namespace pagecount
