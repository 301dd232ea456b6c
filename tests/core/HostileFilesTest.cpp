// Page counting over files made to break a reader: each returns its pages or 0, or is stopped
// at a bound with exactly one line naming the file and the bound. PDFs made to cost a page-tree
// reader far more than their size count what qpdf's page walk gives, in memory their size
// bounds, and the same alone, after any file, on any thread.

#include "app/Platform.h"
#include "model/CountingBudget.h"
#include "model/FileReader.h"
#include "model/PageCounter.h"
#include "model/pdf/FileBytes.h"
#include "model/pdf/PageTree.h"
#include "support/Fixtures.h"

#include <QFile>
#include <QMap>
#include <QMutex>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace {

// 3,000 pages with every offset of the table 9 bytes short: the reader rebuilds the table.
QByteArray shiftedTree()
{
    QList<QByteArray> objects{"<< /Type /Catalog /Pages 2 0 R >>", {}};
    QByteArray kids;
    for (int i = 3; i < 3003; ++i, objects << "<< /Type /Page >>")
        kids += QByteArray::number(i) + " 0 R ";
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] >>";
    return fixtures::pdfFromObjects(objects).replace("%PDF-1.7\n", "%PDF-1.7\n%shifted\n");
}

// The page-tree reader's own answer, the most it charged, and whether it left the budget exceeded.
struct ReaderRun {
    std::optional<quint64> pages;
    std::int64_t charged;
    bool exceeded;
};

// The counter's bounds, or less memory.
ReaderRun readerRun(const QString& path, std::int64_t memoryBytes = 256 * 1024 * 1024)
{
    pagecount::FileReader file(QFile::encodeName(path));
    CountingBudget budget({2'000'000'000, memoryBytes, 4 * 1024 * 1024});
    const auto count = pdftree::countPages(file, QByteArray(), budget);
    return {count ? std::optional(count->pages) : std::nullopt, budget.chargedPeak(),
            budget.exceeded() != CountingBudget::Bound::None};
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
    QString write(const QString& name, const QByteArray& bytes) const
    {
        EXPECT_TRUE(fixtures::writeBytes(path(name), bytes)) << qPrintable(name);
        return path(name);
    }
    int qpdfCount(const QByteArray& bytes) const { return fixtures::referenceCount(write("qpdf.pdf", bytes), true); }
    qint32 count(const QString& name) const { return getTiffPageCount(QUrl::fromLocalFile(path(name))); }
    QStringList takeLog()
    {
        QMutexLocker lock(&m_logMutex);
        return std::exchange(m_log, {});
    }

    // A file's count, locked state and log lines, as one text, also kept in `into`.
    QString record(const QString& path, QMap<QString, QString>* into = nullptr)
    {
        const PageCount count = measurePages(QFile::encodeName(path));
        QMutexLocker lock(&m_logMutex);
        const QStringList lines = m_log.filter(path + ":");
        m_log.removeIf([&](const QString& line) { return line.contains(path + ":"); });
        const QString text =
            QStringLiteral("%1 %2 %3").arg(count.pages).arg(count.passwordProtected).arg(lines.join('|'));
        return into ? (*into)[path] = text : text;
    }

    QTemporaryDir m_dir;
    QMutex m_logMutex;
    QStringList m_log;
};

// Work past a bound, each file on a thread of its own at once: a tree deeper than the stack, a
// stream inflating past the memory bound, qpdf copying a page for each of a million repeats (the
// page-tree reader leaves a key written with a # escape to qpdf). Each is stopped with one line
// naming it and its bound; the counts of the files on the other threads stay right, a tenth of
// the repeats among them, which the reader counts without copies; nothing is printed, also where
// qpdf recovers from damage.
TEST_F(HostileFiles, WorkPastABoundIsStoppedWithOneLineOnItsOwnThread)
{
    QByteArray kids;
    for (int i = 0; i < 1000000; ++i)
        kids += "3 0 R ";
    const QByteArray bomb = fixtures::zeroBomb(400 * 1024 * 1024), catalog = "<< /Type /Catalog /Pages 2 0 R >>";
    const std::tuple<const char*, QByteArray, QStringList> stopped[] = {
        {"deep.pdf", fixtures::pageTreeChain(200000), {"deeply"}},
        {"objstm-bomb.pdf", fixtures::pdfWithStreams(bomb), {"memory"}},
        {"repeats.pdf",
         fixtures::pdfFromObjects({catalog, "<< /Typ#65 /Pages /Kids [" + kids + "] >>", "<< /Type /Page >>"}),
         {"processor time", "memory"}},
    };
    write("counted.pdf",
          fixtures::pdfFromObjects(
              {catalog, "<< /Type /Pages /Kids [" + kids.left(kids.size() / 10) + "] >>", "<< /Type /Page >>"}));
    ASSERT_TRUE(fixtures::writePdf(path("real.pdf"), {.pages = 2000, .objectStreams = true}));
    ASSERT_TRUE(fixtures::writePdf(path("aes.pdf"), {.pages = 30, .encryption = fixtures::PdfEncryption::Aes256}));
    ASSERT_TRUE(fixtures::writeTiff(path("big.tif"), {.pages = 20, .bigTiff = true}));
    QByteArray damaged = fixtures::readBytes(path("real.pdf"));
    write("damaged.pdf", damaged.replace(damaged.size() / 3, 20, QByteArray(20, 'x')));
    write("cut.tif", fixtures::readBytes(path("big.tif")).left(300));
    write("xref-bomb.pdf", fixtures::pdfWithStreams({}, bomb));
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    std::atomic_int wrong{0};
    std::vector<std::thread> threads;
    for (const auto& [name, bytes, bound] : stopped) {
        write(name, bytes);
        threads.emplace_back([&, name = QString(name)] { wrong += count(name) != 0; });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 3; ++i) {
            wrong += count("real.pdf") != 2000 || count("aes.pdf") != 30 || count("big.tif") != 20 ||
                     count("counted.pdf") != 100000;
            // A cross-reference stream that inflates past every bound: the table is rebuilt instead.
            wrong += count("damaged.pdf") < 0 || count("cut.tif") < 0 || count("xref-bomb.pdf") != 1;
        }
    });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(wrong.load(), 0);
    QStringList log = takeLog();
    log.sort();
    ASSERT_EQ(log.size(), qsizetype(std::size(stopped))) << qPrintable(log.join('\n'));
    for (const auto& [name, bytes, bound] : stopped) {
        const QString line = log.filter(path(name) + ": ").value(0);
        EXPECT_TRUE(line.startsWith("Error in (getTiffPageCount) : " + path(name) + ": "))
            << qPrintable(log.join('\n'));
        // Under a slow build (ThreadSanitizer) the deep tree may reach the time bound first.
        EXPECT_TRUE(std::any_of(bound.begin(), bound.end(), [&](const QString& word) { return line.contains(word); }) ||
                    (line.contains("deep") && line.contains("processor time")))
            << qPrintable(line);
    }
}

// qpdf's walk copies a page for each repeat: the repeated large page is held to the count qpdf
// gives for the same tree over a small page, which it can afford.
TEST_F(HostileFiles, CostlyFilesCountAsQpdfWalksThemInMemoryTheirSizeBounds)
{
    const struct {
        const char* name;
        QByteArray bytes;
        QByteArray forQpdf;
    } cases[] = {
        {"repeated.pdf", fixtures::pdfWithRepeatedLargePage(700'000, 1023),
         fixtures::pdfWithRepeatedLargePage(10, 1023)},
        {"shared.pdf", fixtures::pdfWithSharedXRefStm(100, 900'000), {}},
        {"hybrid.pdf", fixtures::pdfWithSharedXRefStm(4, 16'000'000), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const long long expected = qpdfCount(c.forQpdf.isEmpty() ? c.bytes : c.forQpdf);
        const QString path = write(c.name, c.bytes);
        const ReaderRun run = readerRun(path);
        EXPECT_EQ(run.pages, std::optional(quint64(expected)));
        EXPECT_LE(run.charged, 2 * c.bytes.size() + 1024 * 1024);
        EXPECT_EQ(record(path), QStringLiteral("%1 0 ").arg(expected));
        EXPECT_LE(pdftree::workspaceBytes(), pdftree::kWorkspaceKeptBytes);
    }
}

// Below the memory a file needs, the reader gives up wherever its charge fails (decoding and
// rebuilding the table included), keeps no more than its cap, and leaves the budget to qpdf,
// which counts the file.
TEST_F(HostileFiles, ReaderPastItsMemoryBoundLeavesNothingBehind)
{
    for (const QByteArray& bytes : {fixtures::pdfWithSharedXRefStm(3, 5'000'000),
                                    fixtures::pdfWithRepeatedLargePage(1'200'000, 1), shiftedTree()}) {
        const QString path = write("f.pdf", bytes);
        const std::int64_t needed = readerRun(path).charged;
        for (std::int64_t limit = needed / 32; limit < needed; limit += needed / 32) {
            SCOPED_TRACE(limit);
            const ReaderRun run = readerRun(path, limit);
            EXPECT_EQ(run.pages, std::nullopt);
            EXPECT_FALSE(run.exceeded);
            EXPECT_LE(pdftree::workspaceBytes(), pdftree::kWorkspaceKeptBytes);
        }
        EXPECT_EQ(readerRun(path, needed).pages, std::optional(quint64(qpdfCount(bytes))));
    }
}

// A mapped file cut shorter while it is read: the pages past its new end read as zeros, the
// mapping says so, and the process lives on.
TEST_F(HostileFiles, MappedFileCutShorterReadsAsZerosAndSaysSo)
{
    const qint64 page = ::sysconf(_SC_PAGESIZE);
    const QString cut = write("cut.pdf", QByteArray(4 * page, 'x'));
    pagecount::FileReader file(QFile::encodeName(cut));
    pagecount::FileMapping mapping;
    ASSERT_TRUE(mapping.map(file.fd(), file.size()));
    EXPECT_EQ(mapping.data()[3 * page], 'x');
    ASSERT_TRUE(QFile::resize(cut, page + 1));
    EXPECT_FALSE(mapping.shrank());
    EXPECT_EQ(mapping.data()[page], 'x');
    EXPECT_EQ(mapping.data()[3 * page + 7], 0);
    EXPECT_TRUE(mapping.shrank());
    EXPECT_EQ(mapping.data()[0], 'x');
}

// A file past the size that is mapped is read through windows: a PDF whose table and trailer lie
// a hole past its objects counts as qpdf walks it, and with its startxref broken it is rebuilt
// by a scan that skips the hole.
TEST_F(HostileFiles, FilesPastTheMappedSizeAreReadThroughWindows)
{
    const QByteArray page = "<< /Type /Page /Parent 2 0 R >>";
    const QByteArray pdf = fixtures::pdfFromObjects(
        {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R] >>", page, page, page});
    const qsizetype xref = pdf.indexOf("xref\n");
    const qint64 gap = pdftree::kMappedFileBytes + 4096;
    for (const bool broken : {false, true}) {
        QByteArray tail = pdf.mid(xref);
        tail.replace("startxref\n" + QByteArray::number(xref),
                     "startxref\n" + QByteArray::number(broken ? 7 : xref + gap));
        QFile file(path("far.pdf"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(pdf.left(xref)), xref);
        ASSERT_TRUE(file.resize(xref + gap) && file.seek(xref + gap));
        ASSERT_EQ(file.write(tail), tail.size());
        file.close();
        const ReaderRun run = readerRun(path("far.pdf"));
        EXPECT_EQ(run.pages, std::optional<quint64>(3)) << broken;
        if (!broken) {
            EXPECT_EQ(fixtures::referenceCount(path("far.pdf"), true), 3);
        }
    }
}

// The same bytes twice, so that each copy is counted after its twin, and a tree too deep for
// the reader, which qpdf gives up at the stack bound with a log line.
TEST_F(HostileFiles, CountsDependOnlyOnTheBytes)
{
    ASSERT_TRUE(fixtures::writePdf(path("streams.pdf"), {.pages = 40, .objectStreams = true}));
    ASSERT_TRUE(fixtures::writePdf(path("locked.pdf"),
                                   {.encryption = fixtures::PdfEncryption::Aes256, .userPassword = "secret"}));
    QStringList paths{path("streams.pdf"), path("locked.pdf")};
    const QByteArray hybrid = fixtures::pdfWithSharedXRefStm(4, 16'000'000);
    const QByteArray shared = fixtures::pdfWithSharedXRefStm(100, 900'000);
    paths << write("hybrid.pdf", hybrid) << write("hybrid2.pdf", hybrid) << write("shared.pdf", shared)
          << write("shared2.pdf", shared) << write("repeated.pdf", fixtures::pdfWithRepeatedLargePage(700'000, 1023))
          << write("rebuilt.pdf", shiftedTree()) << write("deep.pdf", fixtures::pageTreeChain(50'000));
    QMap<QString, QString> alone; // each on a thread of its own
    for (const QString& path : paths)
        std::thread([&] { record(path, &alone); }).join();
    EXPECT_TRUE(alone[paths.last()].startsWith("0 0 Error in (getTiffPageCount) : "));
    // All of them, in both orders, on one, two and four threads taking the next file as they go.
    for (const QStringList& order : {paths, QStringList(paths.rbegin(), paths.rend())}) {
        for (const int threads : {1, 2, 4}) {
            SCOPED_TRACE(testing::Message() << threads << " threads, from " << qPrintable(order.first()));
            QMap<QString, QString> together;
            std::atomic_int next{0};
            std::vector<std::thread> pool;
            for (int t = 0; t < threads; ++t)
                pool.emplace_back([&] {
                    for (int i; (i = next++) < order.size();)
                        record(order[i], &together);
                });
            for (auto& thread : pool)
                thread.join();
            EXPECT_EQ(together, alone);
        }
    }
}

} // namespace
