#pragma once

// The bytes of the file being read, as spans: a file up to kWholeFileBytes is read at once, one
// up to kMappedFileBytes is mapped (a count touches a few scattered places of it: the end, the
// table, the tree's objects), and a larger one, or one that cannot be mapped, is read through a
// few windows of its bytes that are refilled as the reader moves about. One read of a file of
// up to a megabyte into the thread's kept buffer costs less than the page faults of touching a
// hundred scattered pages of its map, and unlike mapping and unmapping it interrupts no other
// core to flush its address translations, so counting on several threads scales. A span stays valid until
// the next call; its bytes are never written through. The bytes held are charged to the meter:
// the file read whole, or the length of each window. A mapped file that is cut shorter while it
// is read shows zeros past its new end, and shrank() tells.

#include "model/FileReader.h"
#include "model/pdf/Meter.h"
#include "model/pdf/Syntax.h"

#include <QtGlobal>

#include <cstddef>
#include <limits>
#include <vector>

namespace pdftree {

// A file up to this size is read with one pread; a larger one mapped, up to kMappedFileBytes;
// past that, through windows of its bytes.
constexpr quint64 kWholeFileBytes = 1024 * 1024;
constexpr quint64 kMappedFileBytes = 256 * 1024 * 1024;
constexpr size_t kWindowBytes = 16 * 1024;
constexpr size_t kWindowCount = 8;
// Past this one object or stream is left to qpdf: no real file comes near it.
constexpr size_t kMaxObjectBytes = 16 * 1024 * 1024;

struct Span {
    const char* data = nullptr;
    size_t size = 0;
    bool atEnd = true; // the span ends where the file does
};

class FileBytes {
public:
    // `whole` and `windows` are buffers kept from count to count; their contents are replaced.
    FileBytes(pagecount::FileReader& file, std::vector<char>& whole, std::vector<char> (&windows)[kWindowCount],
              Meter& meter);

    // Reads a small file whole or maps a large one; false when it cannot be read. Call once,
    // before span().
    bool load();

    // A mapped file ended before its mapping while it was read: what was read is void.
    bool shrank() const { return m_mapping.shrank(); }

    quint64 size() const { return m_size; }

    // At least `want` bytes at `offset` (fewer at the end of the file); nothing past the end.
    Span span(quint64 offset, size_t want);

    // The first offset at or after `offset` that is not in a hole of a sparse file (see
    // FileReader::dataFrom); `offset` for a file read whole.
    quint64 dataFrom(quint64 offset);

    // Parses an object from `offset` into `nodes` with `parse(Parser&, const Span&)`, reading
    // more bytes while it runs short: 4 KiB, then four times as many each time, up to the end
    // of the file or kMaxObjectBytes. True when `parse` says Ok.
    template <typename F> bool parseAt(quint64 offset, Nodes& nodes, F&& parse)
    {
        for (size_t want = 4096;; want *= 4) {
            const Span s = span(offset, want);
            if (!s.data)
                return false;
            nodes.items.clear();
            Parser parser(s.data, s.size, s.atEnd, &nodes, m_meter);
            const Parse result = parse(parser, s);
            if (result == Parse::Ok)
                return true;
            if (result == Parse::Bad || s.atEnd || want >= kMaxObjectBytes)
                return false;
        }
    }

    Meter& meter() { return m_meter; }

private:
    pagecount::FileReader& m_file;
    std::vector<char>& m_wholeBuffer;
    std::vector<char> (&m_windows)[kWindowCount];
    Meter& m_meter;
    quint64 m_size = 0;
    pagecount::FileMapping m_mapping;
    const char* m_whole = nullptr; // the file read whole or mapped
    bool m_isRead = false;         // read whole: no holes to skip
    quint64 m_windowStart[kWindowCount];
    size_t m_windowCharge[kWindowCount] = {};
    size_t m_nextWindow = 0;
};

} // namespace pdftree
