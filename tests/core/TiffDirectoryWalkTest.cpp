// The directory walk against a TIFFReadDirectory loop (libtiff in this process): on every file
// here the walk, where it answers, gives libtiff's count, and the counter as a whole gives it.

#include "model/TiffDirectoryWalk.h"
#include "app/Platform.h"
#include "model/CountingBudget.h"
#include "model/FileReader.h"
#include "model/PageCounter.h"
#include "model/worker/LibraryCounts.h"
#include "support/Fixtures.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr CountingBudget::Limits kRoomyLimits{20'000'000'000, 1024 * 1024 * 1024, 8 * 1024 * 1024};

struct Format {
    bool bigTiff;
    bool bigEndian;
};
const Format kFormats[] = {{false, false}, {false, true}, {true, false}, {true, true}};

enum : quint16 { kAscii = 2, kShort = 3, kLong = 4, kSShort = 8, kSLong = 9, kLong8 = 16 };

// One entry; its values go in the entry when they fit, else after the directory. `count`
// overrides the number of values; `at` points the entry at data elsewhere.
struct Field {
    quint16 tag;
    quint16 type;
    std::vector<quint64> values;
    quint64 count = 0;
    quint64 at = 0;
};
using Fields = std::vector<Field>;

// A TIFF put together entry by entry: a header, then directories, each linked from the one before.
class TiffBytes {
public:
    explicit TiffBytes(const Format& format) : m_format(format), m_link(format.bigTiff ? 8 : 4)
    {
        bytes = format.bigEndian ? "MM" : "II";
        put(2, format.bigTiff ? 43 : 42, 2).put(4, format.bigTiff ? 8 : 0, 2).put(m_link, 0, linkBytes());
    }

    // Adds a directory at the end (or at `offset`) and links the last one to it.
    TiffBytes& add(const Fields& fields, quint64 offset = 0)
    {
        offset = offset ? offset : quint64(bytes.size() + 1) & ~quint64(1);
        const quint64 countBytes = m_format.bigTiff ? 8 : 2;
        const quint64 entryBytes = 4 + 2 * linkBytes();
        quint64 data = offset + countBytes + fields.size() * entryBytes + linkBytes();
        put(offset, fields.size(), countBytes).put(m_link, offset, linkBytes()).put(data - linkBytes(), 0, linkBytes());
        m_link = data - linkBytes();
        for (const Field& f : fields) {
            const quint64 entry = offset + countBytes + quint64(&f - fields.data()) * entryBytes;
            const quint64 count = f.count ? f.count : f.values.size();
            const quint64 width = f.type == kShort || f.type == kSShort ? 2
                                  : f.type == kLong || f.type == kSLong ? 4
                                  : f.type == kLong8                    ? 8
                                                                        : 1;
            put(entry, f.tag, 2).put(entry + 2, f.type, 2).put(entry + 4, count, linkBytes());
            quint64 at = entry + 4 + linkBytes();
            if (f.at || count * width > linkBytes()) {
                put(at, f.at ? f.at : data, linkBytes());
                at = f.at ? 0 : data;
                data += f.at ? 0 : f.values.size() * width;
            }
            for (size_t v = 0; at && v < f.values.size(); ++v)
                put(at + v * width, f.values[v], width);
        }
        return *this;
    }

    TiffBytes& put(quint64 offset, quint64 value, quint64 size)
    {
        if (quint64(bytes.size()) < offset + size)
            bytes.resize(qsizetype(offset + size), '\0');
        for (quint64 i = 0; i < size; ++i)
            bytes[qsizetype(offset + i)] = char(value >> (8 * (m_format.bigEndian ? size - 1 - i : i)));
        return *this;
    }

    // Points the last directory at `offset`, then cuts `cut` bytes off the end.
    TiffBytes& end(quint64 offset, qsizetype cut = 0)
    {
        put(m_link, offset, linkBytes()).bytes.chop(cut);
        return *this;
    }

    quint64 linkBytes() const { return m_format.bigTiff ? 8 : 4; }
    QByteArray bytes;

private:
    Format m_format;
    quint64 m_link;
};

// An 8 x 4 8-bit grey image in one uncompressed strip, its tags in order.
Fields image(quint64 width = 8, quint64 length = 4)
{
    return {{256, kShort, {width}}, {257, kShort, {length}}, {258, kShort, {8}},
            {259, kShort, {1}},     {262, kShort, {1}},      {273, kLong, {8}},
            {277, kShort, {1}},     {278, kShort, {length}}, {279, kLong, {width * length}}};
}

// `fields` with `field` in place of the entry of its tag (or added in tag order); without `tag`.
Fields with(Fields fields, const Field& field)
{
    auto at = std::find_if(fields.begin(), fields.end(), [&](const Field& f) { return f.tag >= field.tag; });
    if (at != fields.end() && at->tag == field.tag)
        *at = field;
    else
        fields.insert(at, field);
    return fields;
}
Fields without(Fields fields, quint16 tag)
{
    std::erase_if(fields, [&](const Field& f) { return f.tag == tag; });
    return fields;
}
// `fields` and then `field`, out of order if need be.
Fields plus(Fields fields, const Field& field)
{
    fields.push_back(field);
    return fields;
}

const Fields kPalette = with(with(image(), {258, kShort, {4}}), {262, kShort, {3}}); // 4 bits, no ColorMap
const Fields kColorMapped = with(kPalette, {320, kShort, std::vector<quint64>(48, 0x8000)});
const Fields kRgb = with(with(with(image(), {258, kShort, {8, 8, 8}}), {262, kShort, {2}}), {277, kShort, {3}});
const Fields kYCbCr = with(with(kRgb, {262, kShort, {6}}), {530, kShort, {2, 2}});
const Fields kTiled = with(
    with(with(without(without(image(16, 16), 273), 279), {322, kShort, {16}}), {323, kShort, {16}}), {324, kLong, {8}});

TiffBytes chain(const Format& format, const std::vector<Fields>& directories)
{
    TiffBytes tiff(format);
    for (const Fields& d : directories)
        tiff.add(d);
    return tiff;
}

class TiffDirectoryWalk : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        platform::setLogSink([this](const QString& line) { m_log << line; });
    }
    void TearDown() override { platform::setLogSink({}); }

    // libtiff counts `pages` (when given); the walk answers or leaves the file to libtiff as
    // `walkAnswers` says (when given), with libtiff's count; so does the counter, unless it
    // logged a bound.
    void expectCount(const QByteArray& bytes, std::optional<quint64> pages, std::optional<bool> walkAnswers,
                     const std::string& what)
    {
        SCOPED_TRACE(what);
        const QString path = m_dir.filePath(QStringLiteral("case.tif"));
        ASSERT_TRUE(fixtures::writeBytes(path, bytes));
        pagecount::FileReader reader(QFile::encodeName(path));
        ASSERT_TRUE(reader.isOpen());
        const quint64 reference = librarycount::tiffPageCount(reader.fd());
        CountingBudget budget(kRoomyLimits);
        const std::optional<quint32> walked = pagecount::walkTiffDirectories(reader, budget);
        m_log.clear();
        const qint32 counted = pagecount::tiffImageCount(QFile::encodeName(path));
        EXPECT_EQ(reference, pages.value_or(reference));
        EXPECT_EQ(walked.has_value(), walkAnswers.value_or(walked.has_value()));
        EXPECT_EQ(walked.value_or(reference), reference);
        EXPECT_EQ(m_log.isEmpty() ? quint64(counted) : reference, reference);
    }

    QTemporaryDir m_dir;
    QStringList m_log;
};

// `walkAnswers`: whether the walk answers itself or leaves the file to libtiff (nullopt: either).
struct Case {
    const char* name;
    std::function<TiffBytes(const Format&)> build;
    quint64 pages;
    std::optional<bool> walkAnswers = true;
};

// A directory TIFFReadDirectory refuses ends the pages there, whatever follows it.
TEST_F(TiffDirectoryWalk, PagesEndAtTheFirstDirectoryLibtiffRefuses)
{
    const auto between = [](const Fields& middle) {
        return [middle](const Format& f) { return chain(f, {image(), middle, image()}); };
    };
    const auto header = [](bool big, quint64 at, quint64 value, quint64 size, qsizetype cut = 0) {
        return [=](const Format& f) { return chain({big, f.bigEndian}, {image()}).put(at, value, size).end(0, cut); };
    };
    const Case cases[] = {
        {"three images", [](const Format& f) { return chain(f, {image(), image(), image()}); }, 3},
        {"an image, then 70,000 empty directories",
         [](const Format& f) {
             std::vector<Fields> directories(70001);
             directories[0] = image();
             return chain(f, directories);
         },
         1},
        {"image, empty directory, image", between({}), 1},
        {"no ImageWidth or ImageLength", between(without(without(image(), 256), 257)), 1},
        {"ImageWidth alone", between(without(image(), 257)), 1},
        {"width 0", between(image(0)), 1},
        {"SamplesPerPixel 0", between(with(image(), {277, kShort, {0}})), 1},
        {"PlanarConfig 3", between(with(image(), {284, kShort, {3}})), 1},
        {"RowsPerStrip 0", between(with(image(), {278, kShort, {0}})), 1},
        {"BitsPerSample 0", between(with(image(), {258, kShort, {0}})), 1},
        {"SampleFormat 7", between(with(image(), {339, kShort, {7}})), 1},
        {"ImageWidth as text", between(with(image(), {256, kAscii, {'8'}})), 1},
        {"ImageWidth of two values", between(with(image(), {256, kShort, {8, 8}})), 1},
        {"ImageWidth as a signed short", between(with(image(), {256, kSShort, {8}})), 3},
        {"ImageWidth of 8 bytes", between(with(image(), {256, kLong8, {8}})), 3, std::nullopt},
        {"a repeated ImageWidth, the repeat broken", between(plus(image(), {256, kAscii, {'x'}})), 3},
        {"no StripOffsets", between(without(image(), 273)), 1},
        {"StripOffsets past the end of the file", between(with(image(), {273, kLong, {}, 3, 0x7FFFFF00})), 1},
        {"StripOffsets as text", between(with(image(), {273, kAscii, {8}})), 1},
        {"StripOffsets as a signed long", between(with(image(), {273, kSLong, {8}})), 3, false},
        {"two strips without StripByteCounts", between(without(with(image(), {278, kShort, {2}}), 279)), 1},
        {"compressed, its one strip of no bytes", between(with(with(image(), {259, kShort, {5}}), {279, kLong, {0}})),
         3, false},
        {"ExtraSamples of kind 5", between(with(image(), {338, kShort, {5}})), 1},
        {"ExtraSamples beyond the samples", between(with(image(), {338, kShort, {1, 1}})), 1},
        {"RGB", between(kRgb), 3},
        {"RGB of 8, 8 and 16 bits", between(with(kRgb, {258, kShort, {8, 8, 16}})), 1},
        {"palette of 4 bits without ColorMap", between(kPalette), 1},
        {"palette of 4 bits with its ColorMap", between(kColorMapped), 3},
        {"palette of 8 bits without ColorMap", between(with(kPalette, {258, kShort, {8}})), 3},
        {"YCbCr", between(kYCbCr), 3},
        {"YCbCr subsampled by 3", between(with(kYCbCr, {530, kShort, {3, 3}})), 1},
        {"YCbCr of one sample", between(with(kYCbCr, {277, kShort, {1}})), 1},
        {"old-style JPEG", between(with(image(), {259, kShort, {6}})), 3, false},
        {"SMinSampleValue", between(with(image(), {340, kShort, {0}})), 3, false},
        {"tiled", between(kTiled), 3},
        {"a tile width alone", between(without(kTiled, 323)), 3, false},
        {"4097 entries", between(Fields(4097, Field{60000, kShort, {1}})), 1},
        {"entries past the end of the file",
         [](const Format& f) { return chain(f, {image(), image()}).end(0, qsizetype(5 + (f.bigTiff ? 8 : 4))); }, 1},
        {"the last next-directory offset cut off", [](const Format& f) { return chain(f, {image(), image()}).end(0, 2); },
         2},
        {"a loop back to the first", [](const Format& f) { return chain(f, {image(), image()}).end(f.bigTiff ? 16 : 8); },
         2},
        {"next offset at the 64-bit end", [](const Format& f) { return chain(f, {image()}).end(~quint64(0)); }, 1},
        {"200 images in a row", [](const Format& f) { return chain(f, std::vector<Fields>(200, image())); }, 200},
        {"far apart, back to front, then a loop", [](const Format& f) {
             return TiffBytes(f).add(image(), 90000).add(image(), 70000).add(image(), 50000).add(image(), 30000).end(
                 70000);
         },
         4},
        // Headers libtiff refuses.
        {"BigTIFF with offsets of 4 bytes", header(true, 4, 4, 2), 0},
        {"BigTIFF with its reserved field set", header(true, 6, 1, 2), 0},
        {"BigTIFF header cut short", header(true, 6, 0, 2, 200), 0},
        {"version 44", header(false, 2, 44, 2), 0},
        {"mixed byte order marks", header(false, 1, 'X', 1), 0},
        {"first directory past the end", header(false, 4, 0xFFFFFF00, 4), 0},
        {"first directory at 2^63", header(true, 8, quint64(1) << 63, 8), 0},
    };
    for (const Format& format : kFormats) {
        for (const Case& c : cases) {
            expectCount(c.build(format).bytes, c.pages, c.walkAnswers,
                        (format.bigTiff ? "BigTIFF" : "classic") + std::string(format.bigEndian ? " MM: " : " II: ") +
                            c.name);
        }
    }
}

// Files libtiff wrote, then the same with bytes changed at random: wherever the walk answers it
// gives libtiff's count, and so does the counter.
TEST_F(TiffDirectoryWalk, AgreesWithLibtiffOnWrittenAndDamagedFiles)
{
    using C = fixtures::TiffCompression;
    std::vector<QByteArray> sources;
    for (const Format& format : kFormats) {
        for (const C compression :
             {C::None, C::Lzw, C::Deflate, C::PackBits, C::Ccitt4, C::Ccitt3, C::Jpeg, C::Zstd, C::Lzma}) {
            const QString path = m_dir.filePath(QStringLiteral("written.tif"));
            ASSERT_TRUE(fixtures::writeTiff(path, {.pages = 3,
                                                   .bigEndian = format.bigEndian,
                                                   .bigTiff = format.bigTiff,
                                                   .compression = compression,
                                                   .width = 8,
                                                   .height = 4}));
            sources.push_back(fixtures::readBytes(path));
            expectCount(sources.back(), 3, true, "written, compression " + std::to_string(int(compression)));
        }
        sources.push_back(chain(format, {kRgb, kColorMapped, kYCbCr, kTiled}).bytes);
    }
    QRandomGenerator random(20261207);
    for (size_t s = 0; s < sources.size(); ++s) {
        for (int round = 0; round < 30; ++round) {
            QByteArray bytes = sources[s];
            for (int changes = int(random.bounded(1, 4)); changes > 0; --changes)
                bytes[qsizetype(random.bounded(8, int(bytes.size())))] = char(random.bounded(256));
            expectCount(bytes, std::nullopt, std::nullopt,
                        "source " + std::to_string(s) + ", " + std::to_string(round));
        }
    }
}

// libtiff reads at most 1,048,576 directories of one chain (TIFF_MAX_DIR_COUNT).
TEST_F(TiffDirectoryWalk, StopsAtLibtiffsDirectoryBound)
{
    // A small image over and over, each directory linking to the next.
    const QByteArray image =
        TiffBytes({false, false}).add({{256, kShort, {1}}, {257, kShort, {1}}, {273, kLong, {8}}}).bytes;
    QByteArray bytes = image.left(8);
    for (quint32 i = 1; i <= 1048576 + 2; ++i) {
        const quint32 next = qToLittleEndian(i <= 1048576 + 1 ? quint32(8 + i * (image.size() - 8)) : 0);
        bytes += image.mid(8, image.size() - 12) + QByteArray(reinterpret_cast<const char*>(&next), 4);
    }
    const QString path = m_dir.filePath(QStringLiteral("long-chain.tif"));
    ASSERT_TRUE(fixtures::writeBytes(path, bytes));
    pagecount::FileReader reader(QFile::encodeName(path));
    CountingBudget budget(kRoomyLimits);
    EXPECT_EQ(pagecount::walkTiffDirectories(reader, budget), std::optional<quint32>(1048576));
}

// Where the walk cannot be sure it says so: a budget passed, a file shorter than its size said.
TEST_F(TiffDirectoryWalk, SaysWhenItCannotBeSure)
{
    const QString file = m_dir.filePath(QStringLiteral("shrinking.tif"));
    ASSERT_TRUE(fixtures::writeTiff(file, {.pages = 40}));
    pagecount::FileReader reader(QFile::encodeName(file));
    CountingBudget passed({-1, 1024, 8 * 1024 * 1024}); // past its time at the first reading of the clock
    EXPECT_FALSE(passed.pollWork(CountingBudget::kUnitsPerClockRead));
    EXPECT_EQ(pagecount::walkTiffDirectories(reader, passed), std::nullopt);
    ASSERT_TRUE(QFile::resize(file, qint64(reader.size()) / 2));
    CountingBudget budget(kRoomyLimits);
    EXPECT_EQ(pagecount::walkTiffDirectories(reader, budget), std::nullopt);
}

} // namespace
