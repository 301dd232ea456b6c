#include "model/TiffDirectoryWalk.h"

#include "model/CountingBudget.h"
#include "model/FileReader.h"

#include <algorithm>
#include <cstddef>
#include <new>
#include <unordered_set>
#include <vector>

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
    try {
        SeenOffsets seen;
        seen.add(offset);
        for (;;) {
            if (!budget.poll())
                return std::nullopt;
            if (offset > fileSize || fileSize - offset < countBytes)
                return directories;
            if (file.readAt(offset, reinterpret_cast<char*>(bytes), countBytes) != countBytes)
                return std::nullopt;
            const quint64 entries = readUnsigned(bytes, countBytes, layout->bigEndian);
            if (entries > 0xFFFF)
                return directories;
            // No overflow: offset is within the file and the entries take at most 20 * 65535 bytes.
            const quint64 link = offset + countBytes + entries * entryBytes;
            if (link > fileSize || fileSize - link < linkBytes)
                return directories;
            if (file.readAt(link, reinterpret_cast<char*>(bytes), linkBytes) != linkBytes)
                return std::nullopt;
            const quint64 next = readUnsigned(bytes, linkBytes, layout->bigEndian);
            ++directories;
            if (next == 0 || seen.contains(next) || seen.size() >= kMaxDirectories)
                return directories;
            seen.add(next);
            offset = next;
        }
    } catch (const std::bad_alloc&) {
        // Out of memory or past the budget's memory bound (which then says so to the caller).
        return std::nullopt;
    }
}

} // namespace pagecount
