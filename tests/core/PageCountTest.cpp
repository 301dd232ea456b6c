// Page counting against the reference readers: every kind of file the builder makes counts what
// qpdf's page-tree walk and libtiff's directory chain find, and the program's own reader
// answers for it itself wherever it should, not only the reader it hands files over to.

#include "model/CountingBudget.h"
#include "model/FileReader.h"
#include "model/PageCounter.h"
#include "model/PdfPageTree.h"
#include "model/TiffDirectoryWalk.h"
#include "support/Fixtures.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The answer of the program's own reader, without handing the file over: the PDF page-tree
// reader's, or the TIFF directory walk's (never locked).
std::optional<pdftree::PageTreeCount> ownReader(const QString& path, bool isPdf, const QByteArray& password)
{
    pagecount::FileReader file(QFile::encodeName(path));
    CountingBudget budget({2'000'000'000, 256 * 1024 * 1024, 4 * 1024 * 1024});
    if (isPdf)
        return pdftree::countPages(file, password, budget);
    const std::optional<quint32> walked = pagecount::walkTiffDirectories(file, budget);
    return walked ? std::optional<pdftree::PageTreeCount>({*walked, false}) : std::nullopt;
}

// A password opens an encrypted PDF as its user's or its owner's; any other leaves it locked,
// its tree readable outside encrypted object streams alone.
TEST(PageCount, EveryGeneratedKindCountsAsTheReferenceReadersAndItsOwnReaderAnswers)
{
    QTemporaryDir dir;
    std::mt19937 rng(20261207);
    for (const fixtures::FileKind& kind : fixtures::fileKinds()) {
        // Large enough that the directories and cross-reference data span many reads.
        for (const int pages : {1, 9, kind.isPdf() ? 500 : 60}) {
            SCOPED_TRACE(testing::Message() << kind.name << ", " << pages << " pages");
            const QString path = dir.filePath(kind.isPdf() ? "f.pdf" : "f.tif");
            const fixtures::WrittenFile file = fixtures::writeFileOfKind(path, kind, pages, rng, pages == 9);
            ASSERT_GE(file.leaves, pages);
            ASSERT_EQ(fixtures::referenceProblem(path, kind, file.leaves), "");
            const QByteArray user = kind.locked ? fixtures::kLockedPassword : "";
            for (const QByteArray tried : {"", fixtures::kLockedPassword, "owner", "wrong"}) {
                const bool locked =
                    kind.encryption != fixtures::PdfEncryption::None && tried != user && tried != "owner";
                const qint32 expected = locked && kind.objectStreams ? 0 : file.leaves;
                const PageCount measured = measurePages(QFile::encodeName(path), QString::fromLatin1(tried));
                EXPECT_EQ(measured.pages, expected) << tried.constData();
                EXPECT_EQ(measured.passwordProtected, locked) << tried.constData();
                const auto own = ownReader(path, kind.isPdf(), tried);
                ASSERT_EQ(own.has_value(), kind.ownReaderAnswers());
                EXPECT_TRUE(!own || (own->pages == quint64(expected) && own->passwordProtected == locked));
            }
        }
    }
}

// The content decides between TIFF and PDF, and only a name ending in ".pdf" in any letter case
// is read as a PDF; whatever cannot be read counts 0.
TEST(PageCount, ContentDecidesTheFormatTheNameAdmitsPdfsAndTheUnreadableCountZero)
{
    QTemporaryDir dir;
    ASSERT_TRUE(fixtures::writeTiff(dir.filePath("t"), {.pages = 6}) &&
                fixtures::writePdf(dir.filePath("p"), {.pages = 9}));
    const QByteArray tiff = fixtures::readBytes(dir.filePath("t")), pdf = fixtures::readBytes(dir.filePath("p"));
    const std::tuple<const char*, QByteArray, qint32> cases[] = {
        {"scan.pdf", tiff, 6},         {"scan", tiff, 6},    {"doc.tif", pdf, 0},
        {"doc.Pdf", pdf, 9},           {"doc.pdfx", pdf, 0}, {"head.pdf", pdf.left(40), 0},
        {"head.tif", tiff.left(6), 0}, {"empty.pdf", {}, 0}, {"noise.pdf", QByteArray(4096, '\xA5'), 0},
    };
    for (const auto& [name, bytes, pages] : cases) {
        ASSERT_TRUE(fixtures::writeBytes(dir.filePath(name), bytes));
        EXPECT_EQ(getTiffPageCount(QUrl::fromLocalFile(dir.filePath(name))), pages) << name;
    }
    for (const QUrl& url : {QUrl::fromLocalFile(dir.filePath("missing.pdf")), QUrl::fromLocalFile(dir.path()), QUrl(),
                            QUrl("https://example.invalid/a.pdf")})
        EXPECT_EQ(getTiffPageCount(url), 0) << url.toString().toStdString();
}

} // namespace
