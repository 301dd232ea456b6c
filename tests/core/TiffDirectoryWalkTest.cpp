// The directory walk against libtiff: on every file here the walk, when it answers, must give
// libtiff's count, and the counter as a whole must give it too.

#include "model/TiffDirectoryWalk.h"
#include "model/CountingBudget.h"
#include "model/FileReader.h"
#include "model/PageCounter.h"
#include "support/Fixtures.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

using fixtures::TiffCompression;

constexpr CountingBudget::Limits kRoomyLimits{20'000'000'000, 1024 * 1024 * 1024, 8 * 1024 * 1024};

struct Format {
    bool bigTiff;
    bool bigEndian;
};

const Format kFormats[] = {{false, false}, {false, true}, {true, false}, {true, true}};

std::string formatName(const Format& format)
{
    return std::string(format.bigTiff ? "BigTIFF" : "classic") + (format.bigEndian ? " MM" : " II");
}

// A TIFF file put together byte by byte: a header, then directories wherever a case puts them.
class TiffBytes {
public:
    explicit TiffBytes(const Format& format, quint64 firstDirectory) : m_format(format)
    {
        m_bytes = QByteArray(format.bigEndian ? "MM" : "II");
        put(2, format.bigTiff ? 43 : 42, 2);
        if (format.bigTiff) {
            put(4, 8, 2);
            put(6, 0, 2);
            put(8, firstDirectory, 8);
        } else {
            put(4, firstDirectory, 4);
        }
    }

    // Bytes a directory of `entries` entries takes.
    quint64 directoryBytes(quint64 entries) const { return m_format.bigTiff ? 16 + 20 * entries : 6 + 12 * entries; }

    // A directory at `offset` of `entries` entries, numbered tags from `firstTag` holding one
    // SHORT each, linking to `next`.
    TiffBytes& directory(quint64 offset, quint64 entries, quint64 next, quint16 firstTag = 256)
    {
        const quint64 countBytes = m_format.bigTiff ? 8 : 2;
        const quint64 entryBytes = m_format.bigTiff ? 20 : 12;
        put(offset + countBytes + entries * entryBytes, next, m_format.bigTiff ? 8 : 4); // grows the file once
        put(offset, entries, countBytes);
        const quint64 written = std::min<quint64>(entries, 0xFFFF);
        for (quint64 i = 0; i < written; ++i) {
            const quint64 entry = offset + countBytes + i * entryBytes;
            put(entry, quint16(firstTag + i), 2);
            put(entry + 2, 3, 2); // SHORT
            put(entry + 4, 1, m_format.bigTiff ? 8 : 4);
            put(entry + (m_format.bigTiff ? 12 : 8), 1, 2);
        }
        return *this;
    }

    // A run of empty directories, each linking to the next, the last to `next`. Returns the end.
    quint64 emptyRun(quint64 offset, int count, quint64 next)
    {
        const quint64 step = directoryBytes(0);
        for (int i = 0; i < count; ++i)
            directory(offset + quint64(i) * step, 0, i + 1 < count ? offset + quint64(i + 1) * step : next);
        return offset + quint64(count) * step;
    }

    // Writes `value` in `size` bytes; bytes past the eighth are zero.
    TiffBytes& put(quint64 offset, quint64 value, quint64 size)
    {
        if (quint64(m_bytes.size()) < offset + size)
            m_bytes.resize(qsizetype(offset + size), '\0');
        for (quint64 i = 0; i < size; ++i) {
            const quint64 shift = 8 * (m_format.bigEndian ? size - 1 - i : i);
            m_bytes[qsizetype(offset + i)] = shift < 64 ? char((value >> shift) & 0xFF) : '\0';
        }
        return *this;
    }

    TiffBytes& cut(qsizetype size)
    {
        m_bytes.truncate(size);
        return *this;
    }

    qsizetype size() const { return m_bytes.size(); }
    const QByteArray& bytes() const { return m_bytes; }

private:
    Format m_format;
    QByteArray m_bytes;
};

class TiffDirectoryWalk : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    QString path(const QString& name) const { return m_dir.filePath(name); }

    static std::optional<quint32> walk(const QString& file)
    {
        pagecount::FileReader reader(QFile::encodeName(file));
        if (!reader.isOpen())
            return 0;
        CountingBudget budget(kRoomyLimits);
        return pagecount::walkTiffDirectories(reader, budget);
    }

    // The walk's answer, libtiff's and the counter's agree and equal `expected`.
    static void expectAllCount(const QString& file, qint32 expected, const std::string& what)
    {
        SCOPED_TRACE(what);
        const QByteArray native = QFile::encodeName(file);
        const qint32 reference = pagecount::libtiffImageCount(native);
        const std::optional<quint32> walked = walk(file);
        ASSERT_TRUE(walked.has_value());
        EXPECT_EQ(qint32(*walked), reference);
        EXPECT_EQ(pagecount::tiffImageCount(native), reference);
        EXPECT_EQ(reference, expected);
    }

    void expectBytesCount(const TiffBytes& tiff, qint32 expected, const std::string& what)
    {
        const QString file = path(QStringLiteral("case.tif"));
        ASSERT_TRUE(fixtures::writeBytes(file, tiff.bytes()));
        expectAllCount(file, expected, what);
    }

    QTemporaryDir m_dir;
};

TEST_F(TiffDirectoryWalk, WrittenFilesOfEveryCompressionOrderAndSize)
{
    const TiffCompression compressions[] = {
        TiffCompression::None,     TiffCompression::Lzw,    TiffCompression::Deflate,
        TiffCompression::PackBits, TiffCompression::Ccitt4, TiffCompression::Ccitt3,
        TiffCompression::Jpeg,     TiffCompression::Zstd,   TiffCompression::Lzma,
    };
    int made = 0;
    for (const Format& format : kFormats) {
        for (const TiffCompression compression : compressions) {
            for (const int pages : {1, 17}) {
                const QString file = path(QStringLiteral("written-%1.tif").arg(made++));
                ASSERT_TRUE(fixtures::writeTiff(file, {.pages = pages,
                                                       .bigEndian = format.bigEndian,
                                                       .bigTiff = format.bigTiff,
                                                       .compression = compression}));
                expectAllCount(file, pages,
                               formatName(format) + " compression " + std::to_string(int(compression)) + ", " +
                                   std::to_string(pages) + " pages");
            }
        }
        // Large enough that the directories spread over many reader windows.
        const QString file = path(QStringLiteral("written-%1.tif").arg(made++));
        ASSERT_TRUE(fixtures::writeTiff(
            file, {.pages = 300, .bigEndian = format.bigEndian, .bigTiff = format.bigTiff, .width = 96, .height = 96}));
        expectAllCount(file, 300, formatName(format) + ", 300 pages");
    }
}

struct ByteCase {
    const char* name;
    std::function<TiffBytes(const Format&)> build;
    qint32 expected;
};

// Three one-entry directories in a row from offset 16 (past either header), the last linking
// to `last` (by default the end of the chain); `at(i)` is the offset of directory i.
quint64 at(const Format& format, int i)
{
    return 16 + quint64(i) * (format.bigTiff ? 36 : 18);
}

TiffBytes chainOfThree(const Format& format, quint64 last = 0)
{
    TiffBytes tiff(format, at(format, 0));
    tiff.directory(at(format, 0), 1, at(format, 1));
    tiff.directory(at(format, 1), 1, at(format, 2));
    tiff.directory(at(format, 2), 1, last);
    return tiff;
}

TEST_F(TiffDirectoryWalk, ChainsEndWhereLibtiffEndsThem)
{
    const ByteCase cases[] = {
        {"three in a row", [](const Format& f) { return chainOfThree(f); }, 3},
        {"last links back to the first", [](const Format& f) { return chainOfThree(f, at(f, 0)); }, 3},
        {"last links back to the second", [](const Format& f) { return chainOfThree(f, at(f, 1)); }, 3},
        {"last links to itself", [](const Format& f) { return chainOfThree(f, at(f, 2)); }, 3},
        {"a loop after a fourth directory",
         [](const Format& f) {
             TiffBytes tiff = chainOfThree(f, at(f, 3));
             tiff.directory(at(f, 3), 1, at(f, 1));
             return tiff;
         },
         4},
        {"last links past the end",
         [](const Format& f) {
             TiffBytes tiff = chainOfThree(f);
             return tiff.put(at(f, 2) + (f.bigTiff ? 28 : 14), quint64(tiff.size()) + 100, f.bigTiff ? 8 : 4);
         },
         3},
        {"last links to where its entry count does not fit",
         [](const Format& f) {
             TiffBytes tiff = chainOfThree(f);
             return tiff.put(at(f, 2) + (f.bigTiff ? 28 : 14), quint64(tiff.size()) - 1, f.bigTiff ? 8 : 4);
         },
         3},
        {"last directory cut inside its link",
         [](const Format& f) { return chainOfThree(f).cut(qsizetype(at(f, 3)) - 1); }, 2},
        {"last directory cut inside its entries",
         [](const Format& f) { return chainOfThree(f).cut(qsizetype(at(f, 2)) + (f.bigTiff ? 12 : 5)); }, 2},
        {"last directory cut inside its entry count",
         [](const Format& f) { return chainOfThree(f).cut(qsizetype(at(f, 2)) + 1); }, 2},
        {"directories of no entries",
         [](const Format& f) {
             TiffBytes tiff(f, 16);
             tiff.emptyRun(16, 5, 0);
             return tiff;
         },
         5},
        // Only ImageWidth: a directory libtiff would refuse to read, but opening with the header
        // alone and counting never reads one.
        {"a first directory without ImageLength",
         [](const Format& f) {
             TiffBytes tiff(f, 16);
             return tiff.directory(16, 1, 0, 256);
         },
         1},
        {"entries of unknown tags",
         [](const Format& f) {
             TiffBytes tiff(f, 16);
             return tiff.directory(16, 4, 0, 60000);
         },
         1},
        {"odd offsets",
         [](const Format& f) {
             TiffBytes tiff(f, 17);
             tiff.directory(17, 1, 101).directory(101, 2, 203).directory(203, 0, 0);
             return tiff;
         },
         3},
        {"directories written back to front",
         [](const Format& f) {
             TiffBytes tiff(f, 400);
             tiff.directory(400, 1, 300).directory(300, 1, 200).directory(200, 1, 100).directory(100, 1, 0);
             return tiff;
         },
         4},
        {"back to front, then a loop",
         [](const Format& f) {
             TiffBytes tiff(f, 400);
             tiff.directory(400, 1, 300).directory(300, 1, 200).directory(200, 1, 100).directory(100, 1, 300);
             return tiff;
         },
         4},
        {"back and forth, then a loop",
         [](const Format& f) {
             TiffBytes tiff(f, 200);
             tiff.directory(200, 1, 100).directory(100, 1, 400).directory(400, 1, 300).directory(300, 1, 100);
             return tiff;
         },
         4},
        {"first offset 0",
         [](const Format& f) {
             TiffBytes tiff(f, 0);
             return tiff.directory(16, 1, 0);
         },
         0},
        {"first offset past the end",
         [](const Format& f) {
             TiffBytes tiff(f, 1000);
             return tiff.directory(16, 1, 0);
         },
         0},
        {"first offset at the highest 64-bit values",
         [](const Format& f) {
             TiffBytes tiff(f, f.bigTiff ? std::numeric_limits<quint64>::max() - 1 : 0xFFFFFFFF);
             return tiff.directory(16, 1, 0);
         },
         0},
        {"entry count reaching past the end",
         [](const Format& f) {
             TiffBytes tiff(f, 16);
             tiff.directory(16, 1, 60);
             return tiff.put(60, 0xFFFF, f.bigTiff ? 8 : 2).put(80, 0, 8);
         },
         1},
        {"the most entries a directory may have",
         [](const Format& f) {
             TiffBytes tiff(f, 16);
             const quint64 second = 16 + tiff.directoryBytes(0xFFFF);
             return tiff.directory(16, 0xFFFF, second).directory(second, 1, 0);
         },
         2},
    };
    for (const Format& format : kFormats)
        for (const ByteCase& c : cases)
            expectBytesCount(c.build(format), c.expected, formatName(format) + ": " + c.name);
}

// Directories past the start of the file, which the walk reads its own way: apart or close
// together, small or large, across the edges of what one read takes in.
TEST_F(TiffDirectoryWalk, ChainsFarIntoTheFile)
{
    const auto spread = [](const Format& f, int count, quint64 entries, quint64 last = 0) {
        TiffBytes tiff(f, 20000);
        for (int i = 0; i < count; ++i) {
            const quint64 offset = 20000 + quint64(i) * 9000;
            tiff.directory(offset, entries, i + 1 < count ? offset + 9000 : last);
        }
        return tiff;
    };
    const ByteCase cases[] = {
        {"apart", [&](const Format& f) { return spread(f, 6, 1); }, 6},
        {"apart, with links beyond a small read", [&](const Format& f) { return spread(f, 4, 100); }, 4},
        {"apart, the last cut inside its link",
         [&](const Format& f) {
             TiffBytes tiff = spread(f, 4, 100);
             return tiff.cut(tiff.size() - 2);
         },
         3},
        {"apart, looping back", [&](const Format& f) { return spread(f, 5, 3, 20000 + 9000); }, 5},
        {"close together, over several reads",
         [](const Format& f) {
             TiffBytes tiff(f, 50000);
             const quint64 step = tiff.directoryBytes(1);
             for (int i = 0; i < 1000; ++i)
                 tiff.directory(50000 + quint64(i) * step, 1, i + 1 < 1000 ? 50000 + quint64(i + 1) * step : 0);
             return tiff;
         },
         1000},
        {"back to front, then a loop",
         [](const Format& f) {
             TiffBytes tiff(f, 90000);
             tiff.directory(90000, 2, 70000).directory(70000, 2, 50000).directory(50000, 2, 30000);
             return tiff.directory(30000, 2, 70000);
         },
         4},
        {"between the start and far out",
         [](const Format& f) {
             TiffBytes tiff(f, 16);
             tiff.directory(16, 1, 60001).directory(60001, 1, 100).directory(100, 1, 16383);
             return tiff.directory(16383, 1, 0);
         },
         4},
    };
    for (const Format& format : kFormats)
        for (const ByteCase& c : cases)
            expectBytesCount(c.build(format), c.expected, formatName(format) + ": " + c.name);
}

TEST_F(TiffDirectoryWalk, HeadersLibtiffRefusesOrAccepts)
{
    const Format big{true, false};
    const Format bigMM{true, true};
    const Format classic{false, false};
    const ByteCase cases[] = {
        {"BigTIFF with offsets of 4 bytes",
         [&](const Format&) {
             TiffBytes tiff = chainOfThree(big);
             return tiff.put(4, 4, 2);
         },
         0},
        {"BigTIFF with a reserved field set",
         [&](const Format&) {
             TiffBytes tiff = chainOfThree(bigMM);
             return tiff.put(6, 1, 2);
         },
         0},
        {"BigTIFF header cut short", [&](const Format&) { return TiffBytes(big, 16).cut(12); }, 0},
        {"BigTIFF header alone", [&](const Format&) { return TiffBytes(big, 16); }, 0},
        {"BigTIFF entry count over 65535",
         [&](const Format&) {
             TiffBytes tiff(big, 16);
             tiff.directory(16, 1, 52);
             // Room for all of them, so only the count can stop the chain.
             return tiff.put(52, 0x10000, 8).put(52 + 8 + 20 * 0x10000, 0, 8);
         },
         1},
        {"BigTIFF entry count with its high bits set",
         [&](const Format&) {
             TiffBytes tiff(big, 16);
             return tiff.directory(16, 1, 52).put(52, 0x100000000ull + 1, 8).put(60, 0, 40);
         },
         1},
        {"classic header cut short", [&](const Format&) { return TiffBytes(classic, 8).cut(7); }, 0},
        {"classic header alone", [&](const Format&) { return TiffBytes(classic, 8); }, 0},
        {"version 44",
         [&](const Format&) {
             TiffBytes tiff = chainOfThree(classic);
             return tiff.put(2, 44, 2);
         },
         0},
        {"mixed byte order marks",
         [&](const Format&) {
             TiffBytes tiff = chainOfThree(classic);
             return tiff.put(0, 'I', 1).put(1, 'M', 1);
         },
         0},
    };
    for (const ByteCase& c : cases)
        expectBytesCount(c.build(classic), c.expected, c.name);
}

// libtiff reading a buffer, with no bound on its time: the counter's own reading is bounded.
struct Buffer {
    const QByteArray* bytes;
    toff_t position;
};

tmsize_t bufferRead(thandle_t handle, void* out, tmsize_t count)
{
    auto* b = static_cast<Buffer*>(handle);
    const toff_t size = toff_t(b->bytes->size());
    const tmsize_t n = b->position >= size ? 0 : tmsize_t(std::min<toff_t>(toff_t(count), size - b->position));
    std::memcpy(out, b->bytes->constData() + b->position, size_t(n));
    b->position += toff_t(n);
    return n;
}

tmsize_t bufferWrite(thandle_t, void*, tmsize_t)
{
    return -1;
}

toff_t bufferSeek(thandle_t handle, toff_t offset, int whence)
{
    auto* b = static_cast<Buffer*>(handle);
    b->position = offset + (whence == SEEK_CUR ? b->position : whence == SEEK_END ? toff_t(b->bytes->size()) : 0);
    return b->position;
}

int bufferClose(thandle_t)
{
    return 0;
}

toff_t bufferSize(thandle_t handle)
{
    return toff_t(static_cast<Buffer*>(handle)->bytes->size());
}

int silent(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

tdir_t unboundedLibtiffCount(const QByteArray& bytes)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, silent, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, silent, nullptr);
    Buffer buffer{&bytes, 0};
    TIFF* tiff = TIFFClientOpenExt("", "rhm", &buffer, bufferRead, bufferWrite, bufferSeek, bufferClose, bufferSize,
                                   nullptr, nullptr, options);
    TIFFOpenOptionsFree(options);
    if (!tiff)
        return 0;
    const tdir_t count = TIFFNumberOfDirectories(tiff);
    TIFFClose(tiff);
    return count;
}

// libtiff counts at most 1,048,576 directories, however long the chain. Its count of this file
// could meet the counter's time bound in a sanitizer build, so it is asked without one.
TEST_F(TiffDirectoryWalk, StopsAtLibtiffsDirectoryBound)
{
    TiffBytes tiff({false, true}, 8);
    tiff.emptyRun(8, 1048576 + 3, 0);
    const QString file = path(QStringLiteral("long-chain.tif"));
    ASSERT_TRUE(fixtures::writeBytes(file, tiff.bytes()));
    const tdir_t reference = unboundedLibtiffCount(tiff.bytes());
    EXPECT_EQ(reference, 1048576u);
    EXPECT_EQ(walk(file), std::optional<quint32>(reference));
}

// Where the walk cannot be sure it says so, for libtiff to answer in its place.
TEST_F(TiffDirectoryWalk, SaysWhenItCannotBeSure)
{
    const QString file = path(QStringLiteral("shrinking.tif"));
    ASSERT_TRUE(fixtures::writeTiff(file, {.pages = 40}));
    ASSERT_EQ(pagecount::libtiffImageCount(QFile::encodeName(file)), 40);
    {
        // A budget already passed: the walk stops before it reads.
        pagecount::FileReader reader(QFile::encodeName(file));
        ASSERT_TRUE(reader.isOpen());
        CountingBudget budget({20'000'000'000, 1024, 8 * 1024 * 1024});
        try {
            budget.admitAllocation(4096);
        } catch (const CountingBudget::Exceeded&) {
        }
        const std::optional<quint32> walked = pagecount::walkTiffDirectories(reader, budget);
        budget.release(); // before anything here allocates
        EXPECT_EQ(walked, std::nullopt);
    }
    {
        // The file shrinks after its size was taken: the bytes the size promised are missing.
        pagecount::FileReader reader(QFile::encodeName(file));
        ASSERT_TRUE(reader.isOpen());
        ASSERT_TRUE(QFile::resize(file, qint64(reader.size()) / 2));
        CountingBudget budget(kRoomyLimits);
        EXPECT_EQ(pagecount::walkTiffDirectories(reader, budget), std::nullopt);
    }
}

} // namespace
