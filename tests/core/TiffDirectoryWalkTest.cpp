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

enum : quint16 { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kSShort = 8, kLong8 = 16 };

// One entry; its values go in the entry when they fit, else after the directory. `count`
// overrides the number of values written; `at` points the entry at data elsewhere.
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
    explicit TiffBytes(const Format& format) : m_format(format)
    {
        bytes = QByteArray(format.bigEndian ? "MM" : "II");
        put(2, format.bigTiff ? 43 : 42, 2);
        if (format.bigTiff)
            put(4, 8, 2).put(6, 0, 2);
        m_link = format.bigTiff ? 8 : 4;
        put(m_link, 0, linkBytes());
    }

    // Adds a directory at the end (or at `offset`) and links the last one to it.
    quint64 add(const Fields& fields, quint64 offset = 0)
    {
        offset = offset ? offset : quint64(bytes.size() + 1) & ~quint64(1);
        const quint64 entryBytes = m_format.bigTiff ? 20 : 12;
        const quint64 countBytes = m_format.bigTiff ? 8 : 2;
        quint64 data = offset + countBytes + fields.size() * entryBytes + linkBytes();
        put(offset, fields.size(), countBytes).put(data - linkBytes(), 0, linkBytes());
        for (size_t i = 0; i < fields.size(); ++i) {
            const Field& f = fields[i];
            const quint64 entry = offset + countBytes + i * entryBytes;
            const quint64 count = f.count ? f.count : f.values.size();
            put(entry, f.tag, 2).put(entry + 2, f.type, 2).put(entry + 4, count, linkBytes());
            const quint64 width = f.type == kShort || f.type == kSShort ? 2
                                  : f.type == kLong                     ? 4
                                  : f.type == kLong8                    ? 8
                                                                        : 1;
            quint64 at = entry + 4 + linkBytes();
            if (f.at || count * width > linkBytes()) {
                put(at, f.at ? f.at : data, linkBytes());
                at = f.at ? 0 : data;
                data += f.at ? 0 : f.values.size() * width;
            }
            for (size_t v = 0; at && v < f.values.size(); ++v)
                put(at + v * width, f.values[v], width);
        }
        put(m_link, offset, linkBytes());
        m_link = offset + countBytes + fields.size() * entryBytes;
        return offset;
    }

    TiffBytes& put(quint64 offset, quint64 value, quint64 size)
    {
        if (quint64(bytes.size()) < offset + size)
            bytes.resize(qsizetype(offset + size), '\0');
        for (quint64 i = 0; i < size; ++i)
            bytes[qsizetype(offset + i)] = char(value >> (8 * (m_format.bigEndian ? size - 1 - i : i)));
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

// `fields` with `field` in place of the entry of its tag (or added in tag order), or with the
// entry of `tag` removed.
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

// A palette image of 4 bits without its ColorMap; RGB, YCbCr and tiled 16 x 16 grey images.
Fields palette4()
{
    return with(with(image(), {258, kShort, {4}}), {262, kShort, {3}});
}
Fields rgb8()
{
    return with(with(with(image(), {258, kShort, {8, 8, 8}}), {262, kShort, {2}}), {277, kShort, {3}});
}
Fields ycbcr8()
{
    return with(with(rgb8(), {262, kShort, {6}}), {530, kShort, {2, 2}});
}
Fields tiled16()
{
    return with(with(with(without(without(image(16, 16), 273), 279), {322, kShort, {16}}), {323, kShort, {16}}),
                {324, kLong, {8}});
}

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

    // libtiff's count of `bytes` equals `pages`; the walk answers (or leaves the file to
    // libtiff) as `walkAnswers` says, with libtiff's count; the counter gives libtiff's count
    // unless it logged a bound. Returns libtiff's count.
    quint64 expectCount(const QByteArray& bytes, std::optional<quint64> pages, std::optional<bool> walkAnswers,
                        const std::string& what)
    {
        SCOPED_TRACE(what);
        const QString path = m_dir.filePath(QStringLiteral("case.tif"));
        EXPECT_TRUE(fixtures::writeBytes(path, bytes));
        pagecount::FileReader reader(QFile::encodeName(path));
        const quint64 reference = reader.isOpen() ? librarycount::tiffPageCount(reader.fd()) : 0;
        if (pages) {
            EXPECT_EQ(reference, *pages);
        }
        CountingBudget budget(kRoomyLimits);
        const std::optional<quint32> walked = reader.isOpen() ? pagecount::walkTiffDirectories(reader, budget) : 0;
        budget.release();
        if (walkAnswers) {
            EXPECT_EQ(walked.has_value(), *walkAnswers);
        }
        if (walked) {
            EXPECT_EQ(*walked, reference);
        }
        m_log.clear();
        const qint32 counted = pagecount::tiffImageCount(QFile::encodeName(path));
        if (m_log.isEmpty()) {
            EXPECT_EQ(quint64(counted), reference);
        }
        return reference;
    }

    QTemporaryDir m_dir;
    QStringList m_log;
};

// Whether the walk answers itself: always, never (it leaves the file to libtiff), or only in a
// BigTIFF file, where a 64-bit value fits its entry.
enum class Walk { Answers, LeavesIt, AnswersInBigTiff };

struct Case {
    const char* name;
    std::function<TiffBytes(const Format&)> build;
    quint64 pages;
    Walk walk = Walk::Answers;
};

// A directory TIFFReadDirectory refuses ends the pages there, whatever follows it.
TEST_F(TiffDirectoryWalk, PagesEndAtTheFirstDirectoryLibtiffRefuses)
{
    const auto between = [](const Fields& middle) {
        return [middle](const Format& f) { return chain(f, {image(), middle, image()}); };
    };
    const Fields palette = palette4();
    const Fields rgb = rgb8();
    const Fields ycbcr = ycbcr8();
    const Fields tiled = tiled16();
    const Case cases[] = {
        {"three images", [](const Format& f) { return chain(f, {image(), image(), image()}); }, 3},
        {"an image, then 70,000 empty directories",
         [](const Format& f) {
             TiffBytes tiff = chain(f, {image()});
             for (int i = 0; i < 70000; ++i)
                 tiff.add({});
             return tiff;
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
        {"ImageWidth of 8 bytes", between(with(image(), {256, kLong8, {8}})), 3, Walk::AnswersInBigTiff},
        {"a repeated ImageWidth, the repeat broken", between([] {
             Fields f = image();
             f.push_back({256, kAscii, {'x'}});
             return f;
         }()),
         3},
        {"no StripOffsets", between(without(image(), 273)), 1},
        {"StripOffsets past the end of the file", between(with(image(), {273, kLong, {}, 3, 0x7FFFFF00})), 1},
        {"StripOffsets as text", between(with(image(), {273, kAscii, {8}})), 1},
        {"two strips without StripByteCounts", between(without(with(image(), {278, kShort, {2}}), 279)), 1},
        {"one strip without StripByteCounts", between(without(image(), 279)), 3},
        {"compressed, its one strip of no bytes", between(with(with(image(), {259, kShort, {5}}), {279, kLong, {0}})),
         3, Walk::LeavesIt},
        {"ExtraSamples of kind 5", between(with(image(), {338, kShort, {5}})), 1},
        {"ExtraSamples of kind 999",
         between(with(with(with(image(), {258, kShort, {8, 8}}), {277, kShort, {2}}), {338, kShort, {999}})), 3},
        {"ExtraSamples beyond the samples", between(with(image(), {338, kShort, {1, 1}})), 1},
        {"RGB", between(rgb), 3},
        {"RGB of 8, 8 and 16 bits", between(with(rgb, {258, kShort, {8, 8, 16}})), 1},
        {"palette of 4 bits without ColorMap", between(palette), 1},
        {"palette of 4 bits with its ColorMap",
         between(with(palette, {320, kShort, std::vector<quint64>(48, 0x8000)})), 3},
        {"palette of 8 bits without ColorMap", between(with(palette, {258, kShort, {8}})), 3},
        {"YCbCr", between(ycbcr), 3},
        {"YCbCr subsampled by 3", between(with(ycbcr, {530, kShort, {3, 3}})), 1},
        {"YCbCr of one sample", between(with(ycbcr, {277, kShort, {1}})), 1},
        {"old-style JPEG", between(with(image(), {259, kShort, {6}})), 3, Walk::LeavesIt},
        {"SMinSampleValue", between(with(image(), {340, kShort, {0}})), 3, Walk::LeavesIt},
        {"tiled", between(tiled), 3},
        {"a tile width alone", between(without(tiled, 323)), 3, Walk::LeavesIt},
        {"4097 entries", between(Fields(4097, Field{60000, kShort, {1}})), 1},
        {"entries past the end of the file",
         [](const Format& f) {
             TiffBytes tiff = chain(f, {image(), image()});
             tiff.bytes.chop(int(tiff.linkBytes()) + 5);
             return tiff;
         },
         1},
        {"the last next-directory offset cut off",
         [](const Format& f) {
             TiffBytes tiff = chain(f, {image(), image()});
             tiff.bytes.chop(2);
             return tiff;
         },
         2},
        {"a loop back to the first", [](const Format& f) {
             TiffBytes tiff = chain(f, {image(), image()});
             tiff.put(quint64(tiff.bytes.size()) - tiff.linkBytes(), f.bigTiff ? 16 : 8, tiff.linkBytes());
             return tiff;
         },
         2},
        {"next offset at the 64-bit end", [](const Format& f) {
             TiffBytes tiff = chain(f, {image()});
             tiff.put(quint64(tiff.bytes.size()) - tiff.linkBytes(), ~quint64(0), tiff.linkBytes());
             return tiff;
         },
         1},
        {"200 images in a row", [](const Format& f) { return chain(f, std::vector<Fields>(200, image())); }, 200},
        {"images far apart, back to front, then a loop",
         [](const Format& f) {
             TiffBytes tiff(f);
             for (const quint64 at : {90000, 70000, 50000, 30000})
                 tiff.add(image(), at);
             tiff.put(30000 + (f.bigTiff ? 8 + 9 * 20 : 2 + 9 * 12), 70000, tiff.linkBytes());
             return tiff;
         },
         4},
    };
    for (const Format& format : kFormats) {
        for (const Case& c : cases) {
            const std::string name =
                std::string(format.bigTiff ? "BigTIFF" : "classic") + (format.bigEndian ? " MM: " : " II: ") + c.name;
            const bool answers = c.walk == Walk::Answers || (c.walk == Walk::AnswersInBigTiff && format.bigTiff);
            expectCount(c.build(format).bytes, c.pages, answers, name);
        }
    }
}

TEST_F(TiffDirectoryWalk, HeadersLibtiffRefuses)
{
    const Format big{true, false};
    const Format classic{false, false};
    const auto edited = [](const Format& f, quint64 at, quint64 value, quint64 size) {
        TiffBytes tiff = chain(f, {image()});
        return tiff.put(at, value, size).bytes;
    };
    const std::pair<const char*, QByteArray> headers[] = {
        {"BigTIFF with offsets of 4 bytes", edited(big, 4, 4, 2)},
        {"BigTIFF with its reserved field set", edited(big, 6, 1, 2)},
        {"BigTIFF header cut short", chain(big, {}).bytes.left(12)},
        {"version 44", edited(classic, 2, 44, 2)},
        {"mixed byte order marks", edited(classic, 1, 'M', 1)},
        {"classic header cut short", chain(classic, {}).bytes.left(7)},
        {"first directory past the end", edited(classic, 4, 0xFFFFFF00, 4)},
        {"first directory at 2^63", edited(big, 8, quint64(1) << 63, 8)},
    };
    for (const auto& [name, bytes] : headers)
        expectCount(bytes, 0, true, name);
}

// Files libtiff wrote, then the same with bytes changed at random: wherever the walk answers it
// gives libtiff's count, and so does the counter.
TEST_F(TiffDirectoryWalk, AgreesWithLibtiffOnWrittenAndDamagedFiles)
{
    using fixtures::TiffCompression;
    std::vector<QByteArray> sources;
    int made = 0;
    for (const Format& format : kFormats) {
        for (const TiffCompression compression :
             {TiffCompression::None, TiffCompression::Lzw, TiffCompression::Deflate, TiffCompression::PackBits,
              TiffCompression::Ccitt4, TiffCompression::Ccitt3, TiffCompression::Jpeg, TiffCompression::Zstd,
              TiffCompression::Lzma}) {
            const QString path = m_dir.filePath(QStringLiteral("written-%1.tif").arg(made++));
            ASSERT_TRUE(fixtures::writeTiff(path, {.pages = 3,
                                                   .bigEndian = format.bigEndian,
                                                   .bigTiff = format.bigTiff,
                                                   .compression = compression,
                                                   .width = 8,
                                                   .height = 4}));
            sources.push_back(fixtures::readBytes(path));
            expectCount(sources.back(), 3, true, "written " + std::to_string(made));
        }
        const Fields colorMapped = with(palette4(), {320, kShort, std::vector<quint64>(48, 0x8000)});
        sources.push_back(chain(format, {rgb8(), colorMapped, ycbcr8(), tiled16()}).bytes);
    }
    QRandomGenerator random(20261207);
    for (size_t s = 0; s < sources.size(); ++s) {
        for (int round = 0; round < 30; ++round) {
            QByteArray bytes = sources[s];
            for (int changes = int(random.bounded(1, 4)); changes > 0; --changes)
                bytes[qsizetype(random.bounded(8, int(bytes.size())))] = char(random.bounded(256));
            expectCount(bytes, std::nullopt, std::nullopt,
                        "source " + std::to_string(s) + " round " + std::to_string(round));
        }
    }
}

// libtiff reads at most 1,048,576 directories of one chain (TIFF_MAX_DIR_COUNT).
TEST_F(TiffDirectoryWalk, StopsAtLibtiffsDirectoryBound)
{
    // Directories of width 1, length 1 and one strip at offset 8, one after the other.
    QByteArray bytes("II*\0\x08\0\0\0", 8);
    const int directories = 1048576 + 2;
    bytes.reserve(8 + 42 * directories);
    for (int i = 0; i < directories; ++i) {
        const quint32 next = i + 1 < directories ? quint32(8 + 42 * (i + 1)) : 0;
        const char entries[] = {3,
                                0,
                                0,
                                1,
                                3,
                                0,
                                1,
                                0,
                                0,
                                0,
                                1,
                                0,
                                0,
                                0,
                                1,
                                1,
                                3,
                                0,
                                1,
                                0,
                                0,
                                0,
                                1,
                                0,
                                0,
                                0,
                                17,
                                1,
                                4,
                                0,
                                1,
                                0,
                                0,
                                0,
                                8,
                                0,
                                0,
                                0,
                                char(next),
                                char(next >> 8),
                                char(next >> 16),
                                char(next >> 24)};
        bytes.append(entries, sizeof entries);
    }
    const QString path = m_dir.filePath(QStringLiteral("long-chain.tif"));
    ASSERT_TRUE(fixtures::writeBytes(path, bytes));
    pagecount::FileReader reader(QFile::encodeName(path));
    CountingBudget budget(kRoomyLimits);
    EXPECT_EQ(pagecount::walkTiffDirectories(reader, budget), std::optional<quint32>(1048576));
}

// Where the walk cannot be sure it says so, for libtiff to answer in its place.
TEST_F(TiffDirectoryWalk, SaysWhenItCannotBeSure)
{
    const QString file = m_dir.filePath(QStringLiteral("shrinking.tif"));
    ASSERT_TRUE(fixtures::writeTiff(file, {.pages = 40}));
    {
        // A budget already passed: the walk stops before it reads.
        pagecount::FileReader reader(QFile::encodeName(file));
        CountingBudget budget({20'000'000'000, 1024, 8 * 1024 * 1024});
        EXPECT_THROW(budget.admitAllocation(4096), CountingBudget::Exceeded);
        EXPECT_EQ(pagecount::walkTiffDirectories(reader, budget), std::nullopt);
    }
    // The file shrinks after its size was taken: the bytes the size promised are missing.
    pagecount::FileReader reader(QFile::encodeName(file));
    ASSERT_TRUE(QFile::resize(file, qint64(reader.size()) / 2));
    CountingBudget budget(kRoomyLimits);
    EXPECT_EQ(pagecount::walkTiffDirectories(reader, budget), std::nullopt);
}

} // namespace
