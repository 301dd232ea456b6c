// Page counting against the reference readers: every file the builder makes counts what qpdf's
// page-tree walk and libtiff's directory chain find (a damaged PDF what repairing viewers show),
// and the program's own reader (the PDF page-tree reader, the TIFF directory walk) answers for
// it itself wherever it should, with the same count, rather than handing it over to the
// reference reader behind it.

#include "model/CountingBudget.h"
#include "model/FileReader.h"
#include "model/PageCounter.h"
#include "model/TiffDirectoryWalk.h"
#include "model/pdf/PageTree.h"
#include "support/Fixtures.h"
#include "support/MuPdfCount.h"

#include <QFile>
#include <QTemporaryDir>

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>

#include <gtest/gtest.h>

namespace {

// The answer of the program's own reader for the file at `path`, never handed over.
std::optional<pdftree::PageTreeCount> ownReader(const QString& path, bool isPdf, const QByteArray& password = {})
{
    pagecount::FileReader file(QFile::encodeName(path));
    CountingBudget budget({2'000'000'000, 256 * 1024 * 1024, 4 * 1024 * 1024});
    if (isPdf)
        return pdftree::countPages(file, password, budget);
    const std::optional<quint32> walked = pagecount::walkTiffDirectories(file, budget);
    return walked ? std::optional<pdftree::PageTreeCount>({*walked, false}) : std::nullopt;
}

// A password opens an encrypted PDF as its user's or its owner's; any other leaves it locked, its
// tree readable outside encrypted object streams alone.
TEST(PageCount, EveryGeneratedKindCountsAsTheReferenceReadersAndItsOwnReaderAnswers)
{
    QTemporaryDir dir;
    std::mt19937 rng(20261207);
    using E = fixtures::PdfEncryption;
    using X = fixtures::PdfXrefDefect;
    for (const fixtures::FileKind& kind : fixtures::fileKinds()) {
        // Large enough that the directories and cross-reference data span many reads.
        for (const int pages : {1, 9, kind.isPdf() ? 500 : 60}) {
            SCOPED_TRACE(testing::Message() << kind.name << ", " << pages << " pages");
            const QString path = dir.filePath(kind.isPdf() ? "f.pdf" : "f.tif");
            const fixtures::WrittenFile file = fixtures::writeFileOfKind(path, kind, pages, rng, pages == 9);
            ASSERT_GE(file.leaves, pages);
            const QByteArray user = kind.locked ? fixtures::kLockedPassword : "";
            // A damaged file counts what qpdf counts where it reads the file, unless MuPDF and poppler
            // agree on another count; else what MuPDF shows. MuPDF 1.21 leaves an intact table
            // without /Root as it is and shows no page: then the catalog's leaves.
            // With no trailer, MuPDF 1.21 and poppler find no security handler, and no reader an /ID,
            // which they then take as empty: an encrypted tree in object streams no reference reader
            // counts, and the program's repair holds to finding the handler by its keys; no password
            // opens a handler whose key hashes the /ID (all but AES-256).
            const bool noTrailer = kind.xrefDefect == X::NoTrailer && kind.encryption != E::None;
            const bool noId = noTrailer && kind.encryption != E::Aes256 && kind.encryption != E::Aes256R5;
            int leaves = file.leaves;
            const int qpdf = fixtures::referenceCount(path, kind.isPdf(), user.constData());
            if (kind.xrefDefect != X::None) {
                const int mupdf = fixtures::mupdfCount(path), poppler = fixtures::popplerCount(path);
                ASSERT_NE(mupdf, -2) << "built without MuPDF (libmupdf-dev), the reference for damaged files";
                ASSERT_TRUE(mupdf > 0 || qpdf > 0 || kind.xrefDefect == X::TrailerWithoutRoot ||
                            (noTrailer && kind.objectStreams));
                leaves = qpdf >= 0 && (mupdf != poppler || mupdf == qpdf) ? qpdf : mupdf > 0 ? mupdf : leaves;
            } else {
                ASSERT_EQ(qpdf, leaves);
            }
            for (const QByteArray tried : {"", fixtures::kLockedPassword, "owner", "wrong"}) {
                const bool locked = kind.encryption != E::None && (noId || (tried != user && tried != "owner"));
                const qint32 expected = locked && kind.objectStreams ? 0 : leaves;
                const PageCount measured = measurePages(QFile::encodeName(path), QString::fromLatin1(tried));
                EXPECT_TRUE(measured.pages == expected && measured.passwordProtected == locked) << tried.constData();
                const auto own = ownReader(path, kind.isPdf(), tried);
                ASSERT_TRUE(own.has_value());
                EXPECT_TRUE(!own || (own->pages == quint64(expected) && own->passwordProtected == locked));
            }
        }
    }
}

// The builder's odd PDFs, as written and as qpdf writes them anew (where it can read them) with a
// classic table, with object streams and a cross-reference stream, and linearized; and a file too
// large to be read at once, read in windows: pages between large streams, the cross-reference data
// far from the objects it lists, and the same with its table rebuilt.
TEST(PageCount, OddPdfsCountAsQpdfWalksThemAndTheOwnReaderLeavesItOnlyWhatItDoesNotUnderstand)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("f.pdf");
    QList<QByteArray> large = {"<< /Type /Catalog /Pages 2 0 R >>", {}};
    QByteArray kids;
    for (quint32 i = 0, seed = 7; i < 12; ++i) {
        QByteArray content(150 * 1024 + i * 977,
                           Qt::Uninitialized); // bytes that do not compress
        for (char& c : content)
            c = char((seed = seed * 1103515245 + 12345) >> 16);
        const QByteArray page = QByteArray::number(large.size() + 1) + " 0 R ";
        large << "<< /Type /Page /Parent 2 0 R /Contents " + QByteArray::number(large.size() + 2) + " 0 R >>"
              << "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream";
        kids += i % 3 ? page : page + page;
    }
    large[1] = "<< /Type /Pages /Kids [" + kids + "] >>";
    std::vector<fixtures::OddPdf> odd = fixtures::oddPdfs();
    odd.push_back({"large", fixtures::pdfFromObjects(large), true});
    odd.push_back(
        {"large, offsets shifted", fixtures::pdfFromObjects(large).replace("%PDF-1.7\n", "%PDF-1.7\n%\n"), true});
    for (const auto& [name, bytes, ownReaderAnswers, rebuiltLeaves] : odd) {
        for (int layout = 0; layout < 4; ++layout) {
            SCOPED_TRACE(testing::Message() << name << ", layout " << layout);
            QByteArray pdf = bytes;
            long long pages = rebuiltLeaves; // qpdf's count where it can walk the tree
            bool clean = false;              // qpdf reads the file as written without a warning
            try {
                QPDF reference;
                reference.setSuppressWarnings(true);
                reference.processMemoryFile("odd", bytes.constData(), size_t(bytes.size()));
                if (layout > 0) {
                    QPDFWriter writer(reference);
                    writer.setOutputMemory();
                    writer.setObjectStreamMode(layout == 2 ? qpdf_o_generate : qpdf_o_disable);
                    writer.setLinearization(layout == 3);
                    writer.write();
                    const auto buffer = writer.getBufferSharedPointer();
                    pdf = QByteArray(reinterpret_cast<const char*>(buffer->getBuffer()), qsizetype(buffer->getSize()));
                }
                pages = qint64(reference.getAllPages().size());
                clean = layout == 0 && !reference.anyWarnings();
            } catch (...) {
                if (layout > 0)
                    break;
            }
            ASSERT_TRUE(fixtures::writeBytes(path, pdf));
            EXPECT_EQ(measurePages(QFile::encodeName(path)).pages, pages);
            const auto own = ownReader(path, true);
            EXPECT_TRUE(layout > 0 || own.has_value() == ownReaderAnswers);
            EXPECT_TRUE(!own || own->pages == quint64(pages));
            EXPECT_TRUE(!own || !clean || !own->rebuilt) << "a file qpdf reads as it is, read without a repair";
        }
    }
}

// The content decides between TIFF and PDF, and only a name ending in ".pdf" in any letter case is
// read as a PDF; whatever cannot be read counts 0.
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
