// Page counting over files made to break a reader: each family must return, count 0 or the
// right number, and log exactly one line when the count is stopped at a bound.

#include "app/Platform.h"
#include "model/PageCounter.h"
#include "support/Fixtures.h"

#include <QFile>
#include <QMutex>
#include <QRandomGenerator>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

namespace {

// A zlib stream that inflates to `bytes` zero bytes (rounded up to whole runs), written
// directly as one block of fixed codes: a literal 0, then matches of 258 bytes at distance 1.
// Made in milliseconds, where deflating the zeros would take seconds.
QByteArray zeroBomb(quint64 bytes)
{
    QByteArray out("\x78\x01", 2);
    quint32 bitBuffer = 0;
    int bitCount = 0;
    const auto put = [&](quint32 value, int count) { // Huffman codes go most significant bit first
        for (int i = count - 1; i >= 0; --i) {
            bitBuffer |= ((value >> i) & 1u) << bitCount;
            if (++bitCount == 8) {
                out += char(bitBuffer);
                bitBuffer = 0;
                bitCount = 0;
            }
        }
    };
    put(1, 1); // last block; then type 01 (fixed codes), least significant bit first
    put(1, 1);
    put(0, 1);
    put(0x30, 8); // literal 0
    const quint64 runs = bytes / 258 + 1;
    for (quint64 i = 0; i < runs; ++i) {
        put(0xC5, 8); // length 258
        put(0, 5);    // distance 1
    }
    put(0, 7); // end of block
    if (bitCount > 0)
        out += char(bitBuffer);
    const quint64 total = 1 + runs * 258;
    const quint32 adler = quint32(total % 65521) << 16 | 1u;
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char(adler >> shift);
    return out;
}

// A one-page PDF whose catalog lies in an object stream and whose cross-reference table is a
// stream. `objectStream` and `xrefStream`, when given, replace those streams' data (then
// taken as /FlateDecode).
QByteArray pdfWithStreams(const QByteArray& objectStream = {}, const QByteArray& xrefStream = {})
{
    QByteArray pdf = "%PDF-1.7\n";
    std::vector<qsizetype> offsets(6, 0);
    offsets[2] = pdf.size();
    pdf += "2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n";
    offsets[3] = pdf.size();
    pdf += "3 0 obj\n<< /Type /Page /Parent 2 0 R >>\nendobj\n";
    offsets[4] = pdf.size();
    const QByteArray catalog = objectStream.isEmpty() ? "1 0 << /Type /Catalog /Pages 2 0 R >>" : objectStream;
    pdf += "4 0 obj\n<< /Type /ObjStm /N 1 /First 4 /Length " + QByteArray::number(catalog.size()) +
           (objectStream.isEmpty() ? "" : " /Filter /FlateDecode") + " >>\nstream\n" + catalog +
           "\nendstream\nendobj\n";
    offsets[5] = pdf.size();
    QByteArray rows("\0\0\0\0\0", 5);
    rows += QByteArray("\x02\x00\x00\x04\x00", 5); // object 1: first in object stream 4
    for (int object = 2; object <= 5; ++object) {
        const auto at = quint32(offsets[size_t(object)]);
        rows += char(1);
        rows += char(at >> 16);
        rows += char(at >> 8);
        rows += char(at);
        rows += char(0);
    }
    const QByteArray data = xrefStream.isEmpty() ? rows : xrefStream;
    pdf += "5 0 obj\n<< /Type /XRef /Size 6 /W [1 3 1] /Root 1 0 R /Length " + QByteArray::number(data.size()) +
           (xrefStream.isEmpty() ? "" : " /Filter /FlateDecode") + " >>\nstream\n" + data + "\nendstream\nendobj\n";
    return pdf + "startxref\n" + QByteArray::number(offsets[5]) + "\n%%EOF\n";
}

// A chain of `depth` page-tree nodes, each the only kid of the one above, ending in one page.
QByteArray deepPageTree(int depth)
{
    QList<QByteArray> objects{"<< /Type /Catalog /Pages 2 0 R >>"};
    for (int level = 0; level < depth; ++level)
        objects << "<< /Type /Pages /Kids [" + QByteArray::number(level + 3) + " 0 R] /Count 1 >>";
    objects << "<< /Type /Page >>";
    return fixtures::pdfFromObjects(objects);
}

class HostileFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::setLogSink([this](const QString& line) {
            QMutexLocker lock(&m_logMutex);
            m_log << line;
        });
    }
    void TearDown() override { platform::setLogSink({}); }

    QString path(const QString& name) const { return m_dir.filePath(name); }
    void write(const QString& name, const QByteArray& bytes) const
    {
        ASSERT_TRUE(fixtures::writeBytes(path(name), bytes)) << qPrintable(name);
    }
    qint32 count(const QString& name) const { return getTiffPageCount(QUrl::fromLocalFile(path(name))); }
    QStringList takeLog()
    {
        QMutexLocker lock(&m_logMutex);
        return std::exchange(m_log, {});
    }
    // Exactly one line, naming the file and the bound (`because`, one of its words).
    void expectOneStopLine(const QString& name, const QStringList& because)
    {
        const QStringList log = takeLog();
        ASSERT_EQ(log.size(), 1) << qPrintable(log.join('\n'));
        EXPECT_TRUE(log.first().startsWith("Error in (getTiffPageCount) : " + path(name) + ": "))
            << qPrintable(log.first());
        bool named = false;
        for (const QString& word : because)
            named = named || log.first().contains(word);
        EXPECT_TRUE(named) << qPrintable(log.first());
    }

    QTemporaryDir m_dir;
    QMutex m_logMutex;
    QStringList m_log;
};

TEST_F(HostileFiles, RandomTruncatedAndEmptyBytesUnderAnyName)
{
    ASSERT_TRUE(fixtures::writePdf(path("whole.pdf"), {.pages = 40, .objectStreams = true}));
    ASSERT_TRUE(fixtures::writeTiff(path("whole.tif"), {.pages = 6, .bigTiff = true}));
    const QByteArray pdf = fixtures::readBytes(path("whole.pdf"));
    const QByteArray tiff = fixtures::readBytes(path("whole.tif"));
    QRandomGenerator random(20261206);
    for (int i = 0; i < 40; ++i) {
        QByteArray noise(int(random.bounded(1, 5000)), '\0');
        random.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        if (i % 4 == 0)
            noise.replace(0, 8, "%PDF-1.7");
        if (i % 4 == 1)
            noise.replace(0, 4, "II+\0");
        for (const char* suffix : {".pdf", ".tif", ".txt"}) {
            write(QString::number(i) + suffix, noise);
            EXPECT_EQ(count(QString::number(i) + suffix), 0) << i << suffix;
        }
        // Cut anywhere: 0, or the whole count when what is left still holds every page.
        write("cut.pdf", pdf.left(random.bounded(pdf.size())));
        const qint32 pdfPages = count("cut.pdf");
        EXPECT_TRUE(pdfPages == 0 || pdfPages == 40) << pdfPages;
        write("cut.tif", tiff.left(random.bounded(tiff.size())));
        EXPECT_LE(quint32(count("cut.tif")), 6u);
    }
    write("empty.pdf", {});
    EXPECT_EQ(count("empty.pdf"), 0);
    EXPECT_EQ(takeLog(), QStringList());
}

TEST_F(HostileFiles, LoopingSharedAndOvercountedPageTrees)
{
    const QByteArray catalog = "<< /Type /Catalog /Pages 2 0 R >>";
    write("loop.pdf",
          fixtures::pdfFromObjects({catalog, "<< /Type /Pages /Kids [3 0 R] >>", "<< /Type /Pages /Kids [2 0 R] >>"}));
    write("self.pdf", fixtures::pdfFromObjects({catalog, "<< /Type /Pages /Kids [2 0 R] /Count 9999999999 >>"}));
    // Every node lists the next one twice: 2^40 paths to the page, but a node seen twice is a loop.
    QList<QByteArray> shared{catalog};
    for (int level = 0; level < 40; ++level)
        shared << "<< /Type /Pages /Kids [" + QByteArray::number(level + 3) + " 0 R " + QByteArray::number(level + 3) +
                      " 0 R] >>";
    shared << "<< /Type /Page >>";
    write("shared.pdf", fixtures::pdfFromObjects(shared));
    write("count.pdf", fixtures::pdfFromObjects({catalog, "<< /Type /Pages /Kids [3 0 R] /Count 9999999999 >>",
                                                 "<< /Type /Page /Parent 2 0 R >>"}));
    write("twice.pdf", fixtures::pdfFromObjects(
                           {catalog, "<< /Type /Pages /Kids [3 0 R 3 0 R 3 0 R] /Count 3 >>", "<< /Type /Page >>"}));
    write("deep1000.pdf", deepPageTree(1000));
    EXPECT_EQ(count("loop.pdf"), 0);
    EXPECT_EQ(count("self.pdf"), 0);
    EXPECT_EQ(count("shared.pdf"), 0);
    EXPECT_EQ(count("count.pdf"), 1);    // the kids count, not /Count
    EXPECT_EQ(count("twice.pdf"), 3);    // a page listed three times is three pages, as qpdf reads it
    EXPECT_EQ(count("deep1000.pdf"), 1); // deep but within reach
    EXPECT_EQ(takeLog(), QStringList());
}

TEST_F(HostileFiles, PageTreeTooDeepForTheStackIsStopped)
{
    write("deep.pdf", deepPageTree(200000));
    EXPECT_EQ(count("deep.pdf"), 0);
    expectOneStopLine("deep.pdf", {"deeply"});
}

TEST_F(HostileFiles, HugeDeclaredObjectCounts)
{
    const QList<QByteArray> onePage{"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                                    "<< /Type /Page /Parent 2 0 R >>"};
    QByteArray size = fixtures::pdfFromObjects(onePage);
    size.replace("/Size 4", "/Size 2000000000");
    write("size.pdf", size);
    write("subsection.pdf", fixtures::pdfFromObjects(onePage, {}, "0 2000000000"));
    write("far.pdf", fixtures::pdfFromObjects(onePage, {}, "4000000000 4"));
    QByteArray xrefStream = pdfWithStreams();
    xrefStream.replace("/Size 6", "/Size 2000000000 /Index [0 2000000000]");
    write("xrefstream.pdf", xrefStream);
    QByteArray objectStream = pdfWithStreams();
    objectStream.replace("/N 1", "/N 2000000000");
    write("objectstream.pdf", objectStream);
    write("plain.pdf", pdfWithStreams());
    EXPECT_EQ(count("plain.pdf"), 1); // the generator's own file, unharmed
    for (const char* name : {"size.pdf", "subsection.pdf", "far.pdf", "xrefstream.pdf", "objectstream.pdf"})
        EXPECT_LE(quint32(count(name)), 1u) << name;
    EXPECT_EQ(takeLog(), QStringList());
}

TEST_F(HostileFiles, DecompressionBombsStopAtTheMemoryBound)
{
    const QByteArray bomb = zeroBomb(400 * 1024 * 1024);
    write("objectstream.pdf", pdfWithStreams(bomb));
    write("xrefstream.pdf", pdfWithStreams({}, bomb));
    EXPECT_EQ(count("objectstream.pdf"), 0);
    expectOneStopLine("objectstream.pdf", {"memory"});
    EXPECT_EQ(count("xrefstream.pdf"), 0);
    expectOneStopLine("xrefstream.pdf", {"memory"});
}

// A million references to one page: qpdf copies the page for each repeat, which takes far
// longer and more memory than the bounds allow; whichever is reached first stops it.
TEST_F(HostileFiles, EndlessWorkIsStoppedWithOneLine)
{
    QByteArray kids;
    for (int i = 0; i < 1000000; ++i)
        kids += "3 0 R ";
    // qpdf copies every repeat of a page: past the bounds. The page-tree reader counts them
    // without copies, so a key it leaves to qpdf (written with a # escape) sends the file there.
    write("repeats.pdf", fixtures::pdfFromObjects({"<< /Type /Catalog /Pages 2 0 R >>",
                                                   "<< /Typ#65 /Pages /Kids [" + kids + "] >>", "<< /Type /Page >>"}));
    EXPECT_EQ(count("repeats.pdf"), 0);
    expectOneStopLine("repeats.pdf", {"processor time", "memory"});
    // A tenth of them, so that the count stays within the bounds on an instrumented build too.
    kids.truncate(kids.size() / 10);
    write("counted.pdf", fixtures::pdfFromObjects({"<< /Type /Catalog /Pages 2 0 R >>",
                                                   "<< /Type /Pages /Kids [" + kids + "] >>", "<< /Type /Page >>"}));
    EXPECT_EQ(count("counted.pdf"), 100000);
    EXPECT_EQ(takeLog(), QStringList());
}

// Budgets belong to threads: hostile files stopped on some threads leave the counts of real
// files on the others right, and each stopped file logs its own single line.
TEST_F(HostileFiles, BoundsHoldOnSeveralThreadsAtOnce)
{
    ASSERT_TRUE(fixtures::writePdf(path("real.pdf"), {.pages = 2000, .objectStreams = true}));
    ASSERT_TRUE(fixtures::writePdf(path("aes.pdf"), {.pages = 30, .encryption = fixtures::PdfEncryption::Aes256}));
    ASSERT_TRUE(fixtures::writeTiff(path("big.tif"), {.pages = 20, .bigTiff = true}));
    write("bomb.pdf", pdfWithStreams(zeroBomb(400 * 1024 * 1024)));
    write("deep.pdf", deepPageTree(200000));
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    std::atomic_int wrong{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] { wrong += count("bomb.pdf") != 0; });
    threads.emplace_back([&] { wrong += count("deep.pdf") != 0; });
    threads.emplace_back([&] {
        for (int i = 0; i < 3; ++i)
            wrong += count("real.pdf") != 2000 || count("aes.pdf") != 30 || count("big.tif") != 20;
    });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(wrong.load(), 0);
    QStringList log = takeLog();
    log.sort();
    ASSERT_EQ(log.size(), 2) << qPrintable(log.join('\n'));
    EXPECT_TRUE(log[0].contains(path("bomb.pdf")) && log[0].contains("memory")) << qPrintable(log[0]);
    // Under a slow build (ThreadSanitizer) the deep tree may reach the time bound first.
    EXPECT_TRUE(log[1].contains(path("deep.pdf")) && (log[1].contains("deeply") || log[1].contains("processor time")))
        << qPrintable(log[1]);
}

} // namespace
