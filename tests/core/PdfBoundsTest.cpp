// PDFs made to cost a page-tree reader far more than their size: each counts what qpdf's page
// walk gives, in memory its size bounds, and the same alone, after any file, on any thread.

#include "app/Platform.h"
#include "model/CountingBudget.h"
#include "model/FileReader.h"
#include "model/PageCounter.h"
#include "model/pdf/PageTree.h"
#include "support/Fixtures.h"

#include <QFile>
#include <QMap>
#include <QMutex>
#include <QTemporaryDir>

#include <qpdf/QPDF.hh>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

long long qpdfCount(const QByteArray& bytes)
{
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processMemoryFile("test", bytes.constData(), size_t(bytes.size()));
        return static_cast<long long>(pdf.getAllPages().size());
    } catch (...) {
        return -1;
    }
}

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

class PdfBounds : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::setLogSink([this](const QString& line) {
            QMutexLocker lock(&m_mutex);
            m_log << line;
        });
    }
    void TearDown() override { platform::setLogSink({}); }

    QString write(const QString& name, const QByteArray& bytes)
    {
        EXPECT_TRUE(fixtures::writeBytes(m_dir.filePath(name), bytes));
        return m_dir.filePath(name);
    }

    // A file's count, locked state and log lines, as one text, also kept in `into`.
    QString record(const QString& path, QMap<QString, QString>* into = nullptr)
    {
        const PageCount count = measurePages(QFile::encodeName(path));
        QMutexLocker lock(&m_mutex);
        const QStringList lines = m_log.filter(path + ":");
        m_log.removeIf([&](const QString& line) { return line.contains(path + ":"); });
        const QString text =
            QStringLiteral("%1 %2 %3").arg(count.pages).arg(count.passwordProtected).arg(lines.join('|'));
        return into ? (*into)[path] = text : text;
    }

    QTemporaryDir m_dir;
    QMutex m_mutex;
    QStringList m_log;
};

// qpdf's walk copies a page for each repeat: the repeated large page is held to the count qpdf
// gives for the same tree over a small page, which it can afford.
TEST_F(PdfBounds, CostlyFilesCountAsQpdfWalksThemInMemoryTheirSizeBounds)
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
// rebuilding the table included), keeps no more than its cap, and leaves the budget to qpdf, which counts the file.
TEST_F(PdfBounds, ReaderPastItsMemoryBoundLeavesNothingBehind)
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

// The same bytes twice, so that each copy is counted after its twin, and a tree too deep for
// the reader, which qpdf gives up at the stack bound with a log line.
TEST_F(PdfBounds, CountsDependOnlyOnTheBytes)
{
    ASSERT_TRUE(fixtures::writePdf(m_dir.filePath("streams.pdf"), {.pages = 40, .objectStreams = true}));
    ASSERT_TRUE(fixtures::writePdf(m_dir.filePath("locked.pdf"),
                                   {.encryption = fixtures::PdfEncryption::Aes256, .userPassword = "secret"}));
    QStringList paths{m_dir.filePath("streams.pdf"), m_dir.filePath("locked.pdf")};
    const QByteArray hybrid = fixtures::pdfWithSharedXRefStm(4, 16'000'000);
    const QByteArray shared = fixtures::pdfWithSharedXRefStm(100, 900'000);
    QList<QByteArray> deep{"<< /Type /Catalog /Pages 2 0 R >>"};
    for (int kid = 3; kid < 50'003; ++kid)
        deep << "<< /Type /Pages /Kids [" + QByteArray::number(kid) + " 0 R] >>";
    paths << write("hybrid.pdf", hybrid) << write("hybrid2.pdf", hybrid) << write("shared.pdf", shared)
          << write("shared2.pdf", shared) << write("repeated.pdf", fixtures::pdfWithRepeatedLargePage(700'000, 1023))
          << write("rebuilt.pdf", shiftedTree())
          << write("deep.pdf", fixtures::pdfFromObjects(deep << "<< /Type /Page >>"));
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
