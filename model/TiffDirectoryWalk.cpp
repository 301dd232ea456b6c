#include "model/TiffDirectoryWalk.h"

#include "model/CountingBudget.h"
#include "model/FileReader.h"
#include "model/pdf/Meter.h"

#include <QScopeGuard>
#include <QVarLengthArray>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <unordered_set>
#include <vector>

#include <unistd.h>

namespace pagecount {

namespace {

// libtiff's own bounds: directories in one chain (TIFF_MAX_DIR_COUNT), entries in one
// directory (TIFFFetchDirectory), strips it pads a short offsets array to.
constexpr quint64 kMaxDirectories = 1048576;
constexpr quint64 kMaxEntries = 4096;
constexpr quint64 kMaxPaddedStrips = 1000000;
// More strips than this are left to libtiff: it allocates 8 bytes for each.
constexpr quint64 kMaxStrips = 4000000;
// Longest array of values the walk reads itself (a ColorMap of 7 bits has 384).
constexpr quint64 kMaxArray = 1024;

constexpr quint64 kMax32 = 0xFFFFFFFF;

enum Tag : quint16 {
    kImageWidth = 256,
    kImageLength = 257,
    kBitsPerSample = 258,
    kCompression = 259,
    kPhotometric = 262,
    kStripOffsets = 273,
    kSamplesPerPixel = 277,
    kRowsPerStrip = 278,
    kStripByteCounts = 279,
    kMinSampleValue = 280,
    kMaxSampleValue = 281,
    kPlanarConfig = 284,
    kColorMap = 320,
    kTileWidth = 322,
    kTileLength = 323,
    kTileOffsets = 324,
    kTileByteCounts = 325,
    kExtraSamples = 338,
    kSampleFormat = 339,
    kSMinSampleValue = 340,
    kSMaxSampleValue = 341,
    kYCbCrSubsampling = 530,
    kDataType = 32996,
    kImageDepth = 32997,
    kTileDepth = 32998,
};

enum Type : quint16 {
    kByte = 1,
    kShort = 3,
    kLong = 4,
    kSByte = 6,
    kSShort = 8,
    kSLong = 9,
    kLong8 = 16,
    kSLong8 = 17,
};

// The width of one value of an array of `type`; 0 for the signed types, whose values libtiff
// refuses when negative and which would have to be read to know (left to libtiff), -1 for the
// types an array of unsigned values cannot have.
constexpr int arrayWidth(quint16 type)
{
    switch (type) {
    case kByte:
        return 1;
    case kShort:
        return 2;
    case kLong:
        return 4;
    case kLong8:
        return 8;
    case kSByte:
    case kSShort:
    case kSLong:
    case kSLong8:
        return 0;
    default:
        return -1;
    }
}

constexpr quint16 kCompressionNone = 1;
constexpr quint16 kCompressionOldJpeg = 6;
constexpr quint16 kCompressionJpeg = 7;
constexpr quint16 kPhotometricPalette = 3;
constexpr quint16 kPhotometricYCbCr = 6;
constexpr quint16 kPlanarSeparate = 2;

struct Layout {
    bool bigEndian = false;
    bool bigTiff = false;
    quint64 firstDirectory = 0;
};

quint64 readUnsigned(const unsigned char* bytes, size_t size, bool bigEndian)
{
    switch (size) {
    case 2:
        return bigEndian ? qFromBigEndian<quint16>(bytes) : qFromLittleEndian<quint16>(bytes);
    case 4:
        return bigEndian ? qFromBigEndian<quint32>(bytes) : qFromLittleEndian<quint32>(bytes);
    case 8:
        return bigEndian ? qFromBigEndian<quint64>(bytes) : qFromLittleEndian<quint64>(bytes);
    default:
        break;
    }
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

struct Entry {
    quint16 tag = 0;
    quint16 type = 0;
    quint64 count = 0;
    unsigned char field[8] = {}; // the value or offset, as in the file (4 bytes in a classic file)
    bool duplicate = false;      // libtiff reads only the first entry of a tag
};

// The walk's buffers, kept on each thread from file to file so that walking an ordinary file
// allocates nothing; after a walk each is given up when it grew past what such a file needs.
// A walk never runs inside another on the same thread.
struct WalkBuffers {
    std::unique_ptr<unsigned char[]> bytes; // not zeroed: every byte used is read from the file first
    size_t bytesCapacity = 0;
    std::vector<quint64> ascending;
    std::vector<Entry> entries;
    std::vector<std::pair<quint16, size_t>> tags;

    void trim() noexcept
    {
        if (bytesCapacity > 64 * 1024) {
            bytes.reset();
            bytesCapacity = 0;
        }
        pdftree::keepAtMost(ascending, 4096);
        pdftree::keepAtMost(entries, kMaxEntries);
        pdftree::keepAtMost(tags, kMaxEntries);
    }
};
thread_local WalkBuffers t_buffers;

// The offsets of the directories met so far. A chain written front to back climbs through
// the file, so an offset past every earlier one is new without a look-up, and the offsets
// stay sorted for a binary search; only a chain that turns back to a new place costs a hash set.
class SeenOffsets {
public:
    explicit SeenOffsets(std::vector<quint64>& ascending) : m_ascending(ascending) { m_ascending.clear(); }

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
        m_ascending.clear();
    }

    quint64 size() const { return m_size; }

private:
    std::vector<quint64>& m_ascending;
    quint64 m_highest = 0;
    std::optional<std::unordered_set<quint64>> m_hashed;
    quint64 m_size = 0;
};

// Bytes of the file by offset. The start of the file, which the file reader's window holds once
// the header is read, comes through the reader; anything else straight from the file into a
// buffer of its own: a directory far from the last one with a small read (filling the reader's
// 16 KiB window to use a few hundred bytes of it costs about twice as much), directories close
// together 16 KiB at a time.
class FileBytes {
public:
    FileBytes(FileReader& file, std::unique_ptr<unsigned char[]>& buffer, size_t& capacity)
        : m_file(file), m_size(file.size()), m_buffer(buffer), m_capacity(capacity)
    {
    }

    quint64 size() const { return m_size; }

    // The `count` bytes at `offset`, which the caller has checked lie within the file; null when
    // the file gives fewer (it shrank). Valid until the next call.
    const unsigned char* at(quint64 offset, size_t count, bool near = false)
    {
        if (offset > m_size || count > m_size - offset)
            return nullptr;
        if (offset >= m_start && offset + count <= m_start + m_length)
            return m_buffer.get() + (offset - m_start);
        const size_t wanted =
            size_t(std::min<quint64>(std::max<size_t>(count, near ? kNearRead : kSmallRead), m_size - offset));
        if (wanted > m_capacity) {
            // Not zeroed: every byte used is read from the file first.
            m_buffer.reset(new unsigned char[wanted]);
            m_capacity = wanted;
        }
        m_start = offset;
        m_length = offset + wanted <= kHeadBytes
                       ? m_file.readAt(offset, reinterpret_cast<char*>(m_buffer.get()), wanted)
                       : readDirect(offset, wanted);
        return m_length >= count ? m_buffer.get() : nullptr;
    }

private:
    static constexpr quint64 kHeadBytes = 16 * 1024;
    static constexpr size_t kSmallRead = 512;
    static constexpr size_t kNearRead = 16 * 1024;

    size_t readDirect(quint64 offset, size_t wanted)
    {
        const ssize_t n = m_file.preadFully(reinterpret_cast<char*>(m_buffer.get()), wanted, offset);
        return n > 0 ? size_t(n) : 0;
    }

    FileReader& m_file;
    quint64 m_size;
    std::unique_ptr<unsigned char[]>& m_buffer;
    size_t& m_capacity;
    quint64 m_start = 0;
    size_t m_length = 0;
};

// How reading a value went, as libtiff's TIFFReadDirEntry* functions end: Count is their
// count error, which some callers answer by reading per-sample values instead.
enum class Read { Ok, Fail, Unsure, Count };

struct Value {
    Read read;
    quint64 value = 0;
};

struct Values {
    Read read;
    QVarLengthArray<quint64, 8> values; // on the heap only past eight
};

// Whether TIFFReadDirectory reads a directory as an image; Unsure leaves the file to libtiff.
enum class Verdict { Image, NotImage, Unsure };

// A product, or nothing when it does not fit 64 bits (libtiff's _TIFFMultiply64 gives 0 then).
std::optional<quint64> multiply64(quint64 a, quint64 b)
{
    if (b != 0 && a > std::numeric_limits<quint64>::max() / b)
        return std::nullopt;
    return a * b;
}

// libtiff's _TIFFMultiply32: 0 on overflow.
quint64 multiply32(quint64 a, quint64 b)
{
    return b != 0 && a > kMax32 / b ? 0 : a * b;
}

// libtiff's TIFFhowmany_32: 0 where x + y - 1 would not fit 32 bits.
quint64 howMany32(quint64 x, quint64 y)
{
    return x < kMax32 - (y - 1) ? (x + y - 1) / y : 0;
}

// Bytes for `bits` bits (TIFFhowmany8_64), or nothing past 2^63 bytes, where libtiff's sizes
// stop being sizes.
std::optional<quint64> bytesOf(std::optional<quint64> bits)
{
    if (!bits)
        return std::nullopt;
    const quint64 bytes = (*bits >> 3) + ((*bits & 7) ? 1 : 0);
    if (bytes > quint64(std::numeric_limits<qint64>::max()))
        return std::nullopt;
    return bytes;
}

bool validSubsampling(quint64 horizontal, quint64 vertical)
{
    const auto valid = [](quint64 v) { return v == 1 || v == 2 || v == 4; };
    return valid(horizontal) && valid(vertical);
}

// One directory's tags as TIFFReadDirectory sets them, and its verdict.
class DirectoryCheck {
public:
    DirectoryCheck(FileBytes& bytes, const Layout& layout, const std::vector<Entry>& entries)
        : m_bytes(bytes), m_layout(layout), m_entries(entries)
    {
    }

    Verdict verdict();

private:
    size_t inlineBytes() const { return m_layout.bigTiff ? 8 : 4; }

    const Entry* first(quint16 tag) const
    {
        for (const Entry& e : m_entries) {
            if (e.tag == tag)
                return &e;
        }
        return nullptr;
    }

    quint64 fieldValue(const Entry& e, size_t size) const { return readUnsigned(e.field, size, m_layout.bigEndian); }

    // One value of at most `maximum`, as TIFFReadDirEntryShort and TIFFReadDirEntryLong read it.
    Value single(const Entry& e, quint64 maximum) const
    {
        if (e.count != 1)
            return {Read::Count};
        qint64 signedValue = 0;
        quint64 value = 0;
        switch (e.type) {
        case kByte:
            value = fieldValue(e, 1);
            break;
        case kShort:
            value = fieldValue(e, 2);
            break;
        case kLong:
            value = fieldValue(e, 4);
            break;
        case kSByte:
            signedValue = qint8(fieldValue(e, 1));
            break;
        case kSShort:
            signedValue = qint16(fieldValue(e, 2));
            break;
        case kSLong:
            signedValue = qint32(fieldValue(e, 4));
            break;
        case kLong8:
        case kSLong8:
            // In a classic file the 8 bytes lie elsewhere: left to libtiff.
            if (!m_layout.bigTiff)
                return {Read::Unsure};
            value = fieldValue(e, 8);
            signedValue = e.type == kSLong8 ? qint64(value) : 0;
            break;
        default:
            return {Read::Fail};
        }
        if (e.type == kSByte || e.type == kSShort || e.type == kSLong || e.type == kSLong8) {
            if (signedValue < 0)
                return {Read::Fail};
            value = quint64(signedValue);
        }
        if (value > maximum)
            return {Read::Fail};
        return {Read::Ok, value};
    }

    // The values of an unsigned array as TIFFReadDirEntryArray reads them (inline when they fit
    // the entry, else at its offset, which must lie within the file).
    Values array(const Entry& e, quint64 maximum) const
    {
        const int width = arrayWidth(e.type);
        if (width <= 0)
            return {width == 0 ? Read::Unsure : Read::Fail, {}};
        if (e.count > kMaxArray)
            return {Read::Unsure, {}};
        const size_t size = size_t(e.count) * width;
        QVarLengthArray<quint64, 8> values(qsizetype(e.count));
        const unsigned char* data = e.field;
        if (size > inlineBytes()) {
            const quint64 offset = fieldValue(e, inlineBytes());
            if (offset > m_bytes.size() || size > m_bytes.size() - offset)
                return {Read::Fail, {}};
            data = m_bytes.at(offset, size);
            if (!data)
                return {Read::Unsure, {}};
        }
        for (qsizetype i = 0; i < values.size(); ++i) {
            values[i] = readUnsigned(data + size_t(i) * width, width, m_layout.bigEndian);
            if (values[i] > maximum)
                return {Read::Fail, {}};
        }
        return {Read::Ok, std::move(values)};
    }

    // A value that may be written once or once per sample (TIFFReadDirEntryPersampleShort):
    // then there must be a value for every sample, and the samples' values must be equal.
    Value perSample(const Entry& e) const
    {
        const Value one = single(e, 0xFFFF);
        if (one.read != Read::Count)
            return one;
        if (e.count < m_samples)
            return {Read::Fail};
        const Values all = array(e, 0xFFFF);
        if (all.read != Read::Ok)
            return {all.read};
        for (quint64 i = 1; i < m_samples; ++i) {
            if (all.values[i] != all.values[0])
                return {Read::Fail};
        }
        return {Read::Ok, all.values[0]};
    }

    // TIFFFetchStripThing: the offsets or byte counts of `strips` strips must be readable.
    Read stripArray(const Entry& e, quint64 strips) const
    {
        const int width = arrayWidth(e.type);
        if (width <= 0)
            return width == 0 ? Read::Unsure : Read::Fail;
        if (e.count < strips && strips > kMaxPaddedStrips)
            return Read::Fail;
        const quint64 target = std::min(e.count, strips);
        if (target == 0)
            return Read::Ok;
        const quint64 size = target * width;
        if (std::min<quint64>(e.count, 10) * width <= inlineBytes() && size <= inlineBytes())
            return Read::Ok;
        const quint64 offset = fieldValue(e, inlineBytes());
        return offset <= m_bytes.size() && size <= m_bytes.size() - offset ? Read::Ok : Read::Fail;
    }

    // The first value of a strip array stripArray() accepted (0 when the array is empty).
    Value firstOf(const Entry& e) const
    {
        if (e.count == 0)
            return {Read::Ok, 0};
        const size_t width = size_t(arrayWidth(e.type));
        if (std::min<quint64>(e.count, 10) * width <= inlineBytes() && width <= inlineBytes())
            return {Read::Ok, fieldValue(e, width)};
        const unsigned char* data = m_bytes.at(fieldValue(e, inlineBytes()), width);
        if (!data)
            return {Read::Unsure};
        return {Read::Ok, readUnsigned(data, width, m_layout.bigEndian)};
    }

    Verdict firstPass();
    Verdict secondPass();
    Verdict strips();
    Verdict byteCounts();
    Verdict sizes();

    // Bytes of one row of a YCbCr image `width` pixels wide (libtiff's packed sampling blocks),
    // before the division by the vertical subsampling.
    std::optional<quint64> ycbcrRowBytes(quint64 width) const
    {
        const quint64 blocks = howMany32(width, m_subsampling[0]);
        const std::optional<quint64> samples = multiply64(blocks, m_subsampling[0] * m_subsampling[1] + 2);
        return bytesOf(samples ? multiply64(*samples, m_bitsPerSample) : std::nullopt);
    }

    // TIFFScanlineSize64; nothing when it passes the 64-bit limits.
    std::optional<quint64> scanlineBytes() const
    {
        if (m_planar == kPlanarSeparate)
            return bytesOf(multiply64(m_width, m_bitsPerSample));
        if (m_photometric == kPhotometricYCbCr && m_samples == 3) {
            if (!validSubsampling(m_subsampling[0], m_subsampling[1]))
                return 0;
            const std::optional<quint64> row = ycbcrRowBytes(m_width);
            return row ? std::optional<quint64>(*row / m_subsampling[1]) : std::nullopt;
        }
        const std::optional<quint64> samples = multiply64(m_width, m_samples);
        return bytesOf(samples ? multiply64(*samples, m_bitsPerSample) : std::nullopt);
    }

    FileBytes& m_bytes;
    const Layout& m_layout;
    const std::vector<Entry>& m_entries;

    quint64 m_samples = 1;
    quint64 m_compression = kCompressionNone;
    quint64 m_width = 0;
    quint64 m_length = 0;
    quint64 m_depth = 1;
    bool m_haveDimensions = false;
    bool m_tiled = false;
    bool m_haveTileWidth = false;
    bool m_haveTileLength = false;
    quint64 m_tileWidth = 0;
    quint64 m_tileLength = 0;
    quint64 m_tileDepth = 1;
    quint64 m_planar = 1;
    quint64 m_rowsPerStrip = kMax32;
    quint64 m_bitsPerSample = 1;
    quint64 m_photometric = 0;
    quint64 m_subsampling[2] = {2, 2};
    const Entry* m_offsets = nullptr;
    const Entry* m_byteCounts = nullptr;
    bool m_colorMap = false;
    quint64 m_strips = 0;
};

Verdict DirectoryCheck::verdict()
{
    // SamplesPerPixel and Compression come first; a Compression given once per sample is taken
    // when the samples agree.
    if (const Entry* e = first(kSamplesPerPixel)) {
        const Value v = single(*e, 0xFFFF);
        if (v.read == Read::Unsure)
            return Verdict::Unsure;
        if (v.read != Read::Ok || v.value == 0)
            return Verdict::NotImage;
        m_samples = v.value;
    }
    if (const Entry* e = first(kCompression)) {
        const Value v = perSample(*e);
        if (v.read == Read::Unsure)
            return Verdict::Unsure;
        if (v.read != Read::Ok)
            return Verdict::NotImage;
        m_compression = v.value;
    }
    // Old-style JPEG comes with repairs of its own.
    if (m_compression == kCompressionOldJpeg)
        return Verdict::Unsure;
    for (const auto step : {&DirectoryCheck::firstPass, &DirectoryCheck::secondPass, &DirectoryCheck::strips,
                            &DirectoryCheck::byteCounts, &DirectoryCheck::sizes}) {
        if (const Verdict v = (this->*step)(); v != Verdict::Image)
            return v;
    }
    return Verdict::Image;
}

// The tags that size the image, read with no tolerance for errors.
Verdict DirectoryCheck::firstPass()
{
    for (const Entry& e : m_entries) {
        if (e.duplicate)
            continue;
        quint64 maximum = 0;
        switch (e.tag) {
        case kImageWidth:
        case kImageLength:
        case kImageDepth:
        case kTileWidth:
        case kTileLength:
        case kTileDepth:
        case kRowsPerStrip:
            maximum = kMax32;
            break;
        case kPlanarConfig:
            maximum = 0xFFFF;
            break;
        case kExtraSamples: {
            if (e.count > 0xFFFF)
                return Verdict::NotImage;
            const Values v = array(e, 0xFFFF);
            if (v.read != Read::Ok)
                return v.read == Read::Unsure ? Verdict::Unsure : Verdict::NotImage;
            if (e.count > m_samples)
                return Verdict::NotImage;
            // Associated or unassociated alpha, or unspecified; 999 is a known writer's error
            // for unassociated alpha that libtiff repairs.
            for (const quint64 kind : v.values) {
                if (kind > 2 && kind != 999)
                    return Verdict::NotImage;
            }
            continue;
        }
        default:
            continue;
        }
        const Value v = single(e, maximum);
        if (v.read == Read::Unsure)
            return Verdict::Unsure;
        if (v.read != Read::Ok)
            return Verdict::NotImage;
        switch (e.tag) {
        case kImageWidth:
            m_width = v.value;
            m_haveDimensions = true;
            break;
        case kImageLength:
            m_length = v.value;
            m_haveDimensions = true;
            break;
        case kImageDepth:
            m_depth = v.value;
            break;
        case kTileWidth:
            m_tileWidth = v.value;
            m_tiled = m_haveTileWidth = true;
            break;
        case kTileLength:
            m_tileLength = v.value;
            m_tiled = m_haveTileLength = true;
            break;
        case kTileDepth:
            if (v.value == 0)
                return Verdict::NotImage;
            m_tileDepth = v.value;
            break;
        case kPlanarConfig:
            if (v.value != 1 && v.value != kPlanarSeparate)
                return Verdict::NotImage;
            m_planar = v.value;
            break;
        case kRowsPerStrip:
            if (v.value == 0)
                return Verdict::NotImage;
            m_rowsPerStrip = v.value;
            break;
        default:
            break;
        }
    }
    if (!m_haveDimensions)
        return Verdict::NotImage;
    // With one of the two, libtiff takes the other from RowsPerStrip or the width, depending on
    // the order of the entries.
    if (m_tiled && !(m_haveTileWidth && m_haveTileLength))
        return Verdict::Unsure;
    return Verdict::Image;
}

// The sample tags, which must read; the rest is read leniently.
Verdict DirectoryCheck::secondPass()
{
    bool bitsRead = false;
    for (const Entry& e : m_entries) {
        if (e.duplicate)
            continue;
        switch (e.tag) {
        case kBitsPerSample:
        case kMinSampleValue:
        case kMaxSampleValue:
        case kDataType:
        case kSampleFormat: {
            const Value v = perSample(e);
            if (v.read == Read::Unsure)
                return Verdict::Unsure;
            if (v.read != Read::Ok)
                return Verdict::NotImage;
            if ((e.tag == kSampleFormat && (v.value < 1 || v.value > 6)) || (e.tag == kDataType && v.value > 3))
                return Verdict::NotImage;
            if (e.tag == kBitsPerSample) {
                m_bitsPerSample = v.value;
                bitsRead = true;
            }
            break;
        }
        case kSMinSampleValue:
        case kSMaxSampleValue:
            return Verdict::Unsure;
        case kStripOffsets:
        case kTileOffsets:
            m_offsets = &e;
            break;
        case kStripByteCounts:
        case kTileByteCounts:
            m_byteCounts = &e;
            break;
        case kColorMap:
            // Taken only after BitsPerSample, with a value per color for each of the three
            // channels; it matters only to the palette check below, so its values are read there.
            m_colorMap = bitsRead && m_bitsPerSample <= 24 && e.count == 3 * (quint64(1) << m_bitsPerSample);
            if (m_colorMap && m_bitsPerSample < 8) {
                const Values v = array(e, 0xFFFF);
                if (v.read == Read::Unsure)
                    return Verdict::Unsure;
                m_colorMap = v.read == Read::Ok;
            }
            break;
        case kPhotometric: {
            const Value v = single(e, 0xFFFF);
            if (v.read == Read::Unsure)
                return Verdict::Unsure;
            if (v.read == Read::Ok)
                m_photometric = v.value;
            break;
        }
        case kYCbCrSubsampling: {
            if (e.count != 2)
                break;
            const Values v = array(e, 0xFFFF);
            if (v.read == Read::Unsure)
                return Verdict::Unsure;
            if (v.read == Read::Ok) {
                m_subsampling[0] = v.values[0];
                m_subsampling[1] = v.values[1];
            }
            break;
        }
        default:
            break;
        }
    }
    return Verdict::Image;
}

// The number of strips or tiles, and their offsets and byte counts.
Verdict DirectoryCheck::strips()
{
    if (m_tiled) {
        const quint64 dx = m_tileWidth == kMax32 ? m_width : m_tileWidth;
        const quint64 dy = m_tileLength == kMax32 ? m_length : m_tileLength;
        const quint64 dz = m_tileDepth == kMax32 ? m_depth : m_tileDepth;
        m_strips =
            dx == 0 || dy == 0 || dz == 0
                ? 0
                : multiply32(multiply32(howMany32(m_width, dx), howMany32(m_length, dy)), howMany32(m_depth, dz));
    } else {
        m_strips = m_rowsPerStrip == kMax32 ? 1 : howMany32(m_length, m_rowsPerStrip);
    }
    if (m_planar == kPlanarSeparate)
        m_strips = multiply32(m_strips, m_samples);
    if (m_strips == 0 || !m_offsets)
        return Verdict::NotImage;
    if (m_strips > kMaxStrips)
        return Verdict::Unsure;
    for (const Entry* e : {m_offsets, m_byteCounts}) {
        if (!e)
            continue;
        const Read read = stripArray(*e, m_strips);
        if (read != Read::Ok)
            return read == Read::Unsure ? Verdict::Unsure : Verdict::NotImage;
    }
    // A palette image without a ColorMap that libtiff took: 8 bits or more are read as gray or
    // RGB, fewer are refused.
    if (m_photometric == kPhotometricPalette && !m_colorMap) {
        if (m_bitsPerSample < 8)
            return Verdict::NotImage;
        m_photometric = m_samples == 3 ? 2 : 1;
    }
    return Verdict::Image;
}

// Byte counts libtiff does not trust it estimates; for compressed data the estimate depends on
// every entry's size and the file's, which is left to libtiff.
Verdict DirectoryCheck::byteCounts()
{
    const quint64 stripsPerImage = m_planar == kPlanarSeparate ? m_strips / m_samples : m_strips;
    const auto estimate = [&] {
        if (m_compression != kCompressionNone)
            return Verdict::Unsure;
        if (m_tiled)
            return Verdict::Image;
        const std::optional<quint64> row = scanlineBytes();
        if (!row || (*row > 0 && !multiply64(*row, m_length / stripsPerImage)))
            return Verdict::Unsure;
        return Verdict::Image;
    };
    if (!m_byteCounts) {
        if ((m_planar != kPlanarSeparate && m_strips > 1) || (m_planar == kPlanarSeparate && m_strips != m_samples))
            return Verdict::NotImage;
        return estimate();
    }
    if (m_strips == 1 && !m_tiled) {
        const Value offset = firstOf(*m_offsets);
        const Value count = firstOf(*m_byteCounts);
        if (offset.read != Read::Ok || count.read != Read::Ok)
            return Verdict::Unsure;
        // ByteCountLooksBad
        bool looksBad = false;
        if (offset.value != 0 && count.value == 0) {
            looksBad = true;
        } else if (offset.value != 0 && m_compression == kCompressionNone) {
            const std::optional<quint64> row = scanlineBytes();
            const std::optional<quint64> image = row ? multiply64(*row, m_length) : std::nullopt;
            looksBad = (offset.value <= m_bytes.size() && count.value > m_bytes.size() - offset.value) || !image ||
                       count.value < *image;
        }
        return looksBad ? estimate() : Verdict::Image;
    }
    if (m_planar != kPlanarSeparate && m_strips > 2 && m_compression == kCompressionNone)
        return estimate(); // whether libtiff estimates or not, it succeeds unless the estimate overflows
    return Verdict::Image;
}

// A row, a strip or a tile of no bytes is refused; a size past the 64-bit limits is left to
// libtiff (which may split a single strip and then succeed).
Verdict DirectoryCheck::sizes()
{
    const bool ycbcr = m_planar != kPlanarSeparate && m_photometric == kPhotometricYCbCr;
    // libtiff's JPEG codec takes the subsampling from the JPEG data of the first strip.
    if (ycbcr && m_compression == kCompressionJpeg && m_samples == 3 &&
        (!validSubsampling(m_subsampling[0], m_subsampling[1]) || m_bitsPerSample < 8 || m_width >= (1u << 24) ||
         m_length >= (1u << 24)))
        return Verdict::Unsure;
    const std::optional<quint64> row = scanlineBytes();
    if (!row)
        return Verdict::Unsure;
    if (*row == 0)
        return Verdict::NotImage;
    std::optional<quint64> block;
    if (m_tiled) {
        if (m_tileWidth == 0 || m_tileLength == 0 || m_tileDepth == 0)
            return Verdict::NotImage;
        if (ycbcr && m_samples == 3) {
            if (!validSubsampling(m_subsampling[0], m_subsampling[1]))
                return Verdict::NotImage;
            const std::optional<quint64> tileRow = ycbcrRowBytes(m_tileWidth);
            block = tileRow ? multiply64(*tileRow, howMany32(m_tileLength, m_subsampling[1])) : std::nullopt;
        } else {
            std::optional<quint64> bits = multiply64(m_bitsPerSample, m_tileWidth);
            if (bits && m_planar != kPlanarSeparate)
                bits = multiply64(*bits, m_samples);
            const std::optional<quint64> tileRow = bytesOf(bits);
            block = tileRow ? multiply64(m_tileLength, *tileRow) : std::nullopt;
        }
    } else {
        const quint64 rows = std::min(m_rowsPerStrip, m_length);
        if (ycbcr) {
            if (m_samples != 3 || !validSubsampling(m_subsampling[0], m_subsampling[1]))
                return Verdict::NotImage;
            // Rows that libtiff's rounding up takes past 32 bits give 0, unless it first splits
            // a single uncompressed strip.
            if (rows > kMax32 - m_subsampling[1])
                return Verdict::Unsure;
            const std::optional<quint64> stripRow = ycbcrRowBytes(m_width);
            block = stripRow ? multiply64(*stripRow, howMany32(rows, m_subsampling[1])) : std::nullopt;
        } else {
            block = multiply64(rows, *row);
        }
    }
    if (!block || *block > quint64(std::numeric_limits<qint64>::max()))
        return Verdict::Unsure;
    return *block == 0 ? Verdict::NotImage : Verdict::Image;
}

// Follows the chain. Each directory is read whole (at most 4096 entries) and checked.
class ChainWalk {
public:
    ChainWalk(FileReader& file, CountingBudget& budget, const Layout& layout)
        : m_bytes(file, t_buffers.bytes, t_buffers.bytesCapacity), m_budget(budget), m_layout(layout)
    {
    }

    std::optional<quint32> run()
    {
        const size_t countBytes = m_layout.bigTiff ? 8 : 2;
        const quint64 entryBytes = m_layout.bigTiff ? 20 : 12;
        const size_t linkBytes = m_layout.bigTiff ? 8 : 4;
        const quint64 size = m_bytes.size();
        quint32 images = 0;
        quint64 offset = m_layout.firstDirectory;
        // The first directory is read with a small read (or from the reader's window at the
        // start of the file): most files are one page.
        std::optional<quint64> previous;
        SeenOffsets seen(t_buffers.ascending);
        std::vector<Entry>& entries = t_buffers.entries;
        for (;;) {
            if (!m_budget.poll())
                return std::nullopt;
            if (offset == 0 || seen.contains(offset) || seen.size() >= kMaxDirectories)
                return images;
            seen.add(offset);
            const bool near = previous && (offset > *previous ? offset - *previous : *previous - offset) < kNearBytes;
            previous = offset;
            if (offset > size || size - offset < countBytes)
                return images;
            const unsigned char* head = m_bytes.at(offset, countBytes, near);
            if (!head)
                return std::nullopt;
            const quint64 count = readUnsigned(head, countBytes, m_layout.bigEndian);
            if (count == 0 || count > kMaxEntries)
                return images;
            // No overflow: offset is within the file and the entries take at most 20 * 4096 bytes.
            const quint64 link = offset + countBytes + count * entryBytes;
            if (link > size)
                return images;
            // A next-directory offset that the file cuts off reads as 0: the end of the chain.
            const bool hasLink = size - link >= linkBytes;
            const unsigned char* bytes =
                m_bytes.at(offset + countBytes, size_t(count * entryBytes) + (hasLink ? linkBytes : 0), near);
            if (!bytes)
                return std::nullopt;
            const quint64 next = hasLink ? readUnsigned(bytes + count * entryBytes, linkBytes, m_layout.bigEndian) : 0;
            parseEntries(bytes, size_t(count), entries);
            DirectoryCheck check(m_bytes, m_layout, entries);
            switch (check.verdict()) {
            case Verdict::Image:
                ++images;
                break;
            case Verdict::NotImage:
                return images;
            case Verdict::Unsure:
                return std::nullopt;
            }
            offset = next;
        }
    }

private:
    // Directories closer than this to the one before are taken to lie close together.
    static constexpr quint64 kNearBytes = 4096;

    void parseEntries(const unsigned char* bytes, size_t count, std::vector<Entry>& entries)
    {
        const size_t entryBytes = m_layout.bigTiff ? 20 : 12;
        const size_t countBytes = m_layout.bigTiff ? 8 : 4;
        entries.resize(count);
        for (size_t i = 0; i < count; ++i) {
            const unsigned char* p = bytes + i * entryBytes;
            Entry& e = entries[i];
            e.tag = quint16(readUnsigned(p, 2, m_layout.bigEndian));
            e.type = quint16(readUnsigned(p + 2, 2, m_layout.bigEndian));
            e.count = readUnsigned(p + 4, countBytes, m_layout.bigEndian);
            std::memset(e.field, 0, sizeof e.field);
            std::memcpy(e.field, p + 4 + countBytes, m_layout.bigTiff ? 8 : 4);
            e.duplicate = false;
        }
        // libtiff ignores every entry of a tag after its first. Directories are written with
        // their tags in ascending order, which rules repeats out; others are sorted to find them.
        bool ascending = true;
        for (size_t i = 1; i < count && ascending; ++i)
            ascending = entries[i].tag > entries[i - 1].tag;
        if (ascending)
            return;
        m_tags.resize(count);
        for (size_t i = 0; i < count; ++i)
            m_tags[i] = {entries[i].tag, i};
        std::sort(m_tags.begin(), m_tags.end());
        for (size_t i = 1; i < count; ++i) {
            if (m_tags[i].first == m_tags[i - 1].first)
                entries[m_tags[i].second].duplicate = true;
        }
    }

    FileBytes m_bytes;
    CountingBudget& m_budget;
    const Layout& m_layout;
    std::vector<std::pair<quint16, size_t>>& m_tags = t_buffers.tags;
};

} // namespace

std::optional<quint32> walkTiffDirectories(FileReader& file, CountingBudget& budget)
{
    if (!budget.poll())
        return std::nullopt;
    const std::optional<Layout> layout = readHeader(file);
    if (!layout)
        return 0;
    const auto trim = qScopeGuard([] { t_buffers.trim(); });
    try {
        return ChainWalk(file, budget, *layout).run();
    } catch (const std::bad_alloc&) {
        // Out of memory or past the budget's memory bound (which then says so to the caller).
        return std::nullopt;
    }
}

} // namespace pagecount
