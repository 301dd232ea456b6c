// The page-tree reader against qpdf's getAllPages() on PDFs written at test time: where the
// reader answers, its count is qpdf's; where it does not, the counter's count still is.

#include "model/PdfPageTree.h"
#include "model/CountingBudget.h"
#include "model/FileReader.h"
#include "model/PageCounter.h"
#include "support/Fixtures.h"

#include <QFile>
#include <QTemporaryDir>

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

constexpr CountingBudget::Limits kLimits{2'000'000'000, 256 * 1024 * 1024, 4 * 1024 * 1024};

std::optional<pdftree::PageTreeCount> readerResult(const QString& path, const QByteArray& password = {})
{
    pagecount::FileReader file(QFile::encodeName(path));
    if (!file.isOpen())
        return std::nullopt;
    CountingBudget budget(kLimits);
    return pdftree::countPages(file, password, budget);
}

std::optional<quint64> readerCount(const QString& path)
{
    const auto count = readerResult(path);
    return count ? std::optional<quint64>(count->pages) : std::nullopt;
}

// qpdf's count of the bytes; -1 when it cannot walk the tree.
long long qpdfCount(const QByteArray& bytes, const char* password = "")
{
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processMemoryFile("test", bytes.constData(), size_t(bytes.size()), password);
        return static_cast<long long>(pdf.getAllPages().size());
    } catch (...) {
        return -1;
    }
}

enum class Layout { AsWritten, Classic, ObjectStreams, Linearized };

// The bytes as they are, or written anew by qpdf in `layout`.
QByteArray laidOut(const QByteArray& bytes, Layout layout)
{
    if (layout == Layout::AsWritten)
        return bytes;
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    pdf.processMemoryFile("test", bytes.constData(), size_t(bytes.size()));
    QPDFWriter writer(pdf);
    writer.setOutputMemory();
    writer.setStaticID(true);
    if (layout == Layout::ObjectStreams)
        writer.setObjectStreamMode(qpdf_o_generate);
    if (layout == Layout::Linearized)
        writer.setLinearization(true);
    writer.write();
    const auto buffer = writer.getBufferSharedPointer();
    return QByteArray(reinterpret_cast<const char*>(buffer->getBuffer()), qsizetype(buffer->getSize()));
}

class PdfPageTree : public ::testing::Test {
protected:
    QString write(const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(QStringLiteral("f%1.pdf").arg(++m_files));
        EXPECT_TRUE(fixtures::writeBytes(path, bytes));
        return path;
    }

    // The counter's count equals qpdf's (0 where qpdf cannot walk the tree); returns the
    // reader's own answer, which must then be qpdf's count too.
    std::optional<quint64> checkAgainstQpdf(const QByteArray& bytes)
    {
        const QString path = write(bytes);
        const long long expected = qpdfCount(bytes);
        const auto answer = readerCount(path);
        if (answer && expected >= 0) {
            EXPECT_EQ(*answer, quint64(expected));
        }
        EXPECT_EQ(measurePages(QFile::encodeName(path)).pages, std::max(expected, 0LL));
        return answer;
    }

    QTemporaryDir m_dir;
    int m_files = 0;
};

TEST_F(PdfPageTree, CountsEveryLayoutQpdfWrites)
{
    for (const int pages : {1, 3, 250}) {
        for (const bool objectStreams : {false, true}) {
            for (const bool linearize : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << pages << " pages, object streams " << objectStreams << ", linearized " << linearize);
                const QString path = m_dir.filePath(QStringLiteral("w%1.pdf").arg(++m_files));
                ASSERT_TRUE(
                    fixtures::writePdf(path, {.pages = pages, .objectStreams = objectStreams, .linearize = linearize}));
                EXPECT_EQ(readerCount(path), std::optional<quint64>(pages));
                EXPECT_EQ(qpdfCount(fixtures::readBytes(path)), pages);
            }
        }
    }
}

// An encrypted file's page tree is read without the key where it lies outside object streams;
// in them it needs the key, and without one it counts 0. Locked: the password tried opens
// nothing.
TEST_F(PdfPageTree, CountsEncryptedFilesAndTellsTheirLock)
{
    using fixtures::PdfEncryption;
    for (const PdfEncryption encryption : {PdfEncryption::Rc4_128, PdfEncryption::Aes128, PdfEncryption::Aes256}) {
        for (const bool objectStreams : {false, true}) {
            for (const QString& user : {QString(), QStringLiteral("user")}) {
                const QString path = m_dir.filePath(QStringLiteral("e%1.pdf").arg(++m_files));
                ASSERT_TRUE(fixtures::writePdf(
                    path,
                    {.pages = 4, .objectStreams = objectStreams, .encryption = encryption, .userPassword = user}));
                for (const QByteArray& tried :
                     {QByteArray(), QByteArray("user"), QByteArray("owner"), QByteArray("x")}) {
                    SCOPED_TRACE(testing::Message() << "encryption " << int(encryption) << ", object streams "
                                                    << objectStreams << ", user password '" << user.toStdString()
                                                    << "', tried '" << tried.toStdString() << "'");
                    const bool locked = tried != user.toUtf8() && tried != "owner";
                    const qint32 pages = locked && objectStreams ? 0 : 4;
                    const auto answer = readerResult(path, tried);
                    ASSERT_TRUE(answer.has_value());
                    EXPECT_EQ(answer->pages, quint64(pages));
                    EXPECT_EQ(answer->passwordProtected, locked);
                    const PageCount measured = measurePages(QFile::encodeName(path), QString::fromUtf8(tried));
                    EXPECT_EQ(measured.pages, pages);
                    EXPECT_EQ(measured.passwordProtected, locked);
                    if (!locked) {
                        EXPECT_EQ(qpdfCount(fixtures::readBytes(path), tried.constData()), 4);
                    }
                }
            }
        }
    }
}

// Page trees of every shape, each as written by hand, rewritten by qpdf with a classic table and
// with object streams and a cross-reference stream.
TEST_F(PdfPageTree, WalksOddTreesAsQpdfDoes)
{
    const QByteArray catalog = "<< /Type /Catalog /Pages 2 0 R >>";
    const QByteArray page = "<< /Type /Page /Parent 2 0 R >>";
    const struct {
        const char* name;
        QList<QByteArray> objects;
        bool answered; // the reader answers for the file as written
    } trees[] = {
        {"wrong count", {catalog, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 9 >>", page, page}, true},
        {"no count", {catalog, "<< /Type /Pages /Kids [3 0 R 4 0 R] >>", page, page}, true},
        {"nested",
         {catalog, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 3 >>", page,
          "<< /Type /Pages /Kids [5 0 R << /Type /Page >>] >>", "<< /Type /Pages /Kids [6 0 R] >>", page},
         true},
        {"page listed twice", {catalog, "<< /Type /Pages /Kids [3 0 R 3 0 R 4 0 R] >>", page, page}, true},
        {"kids that are no dictionaries",
         {catalog, "<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R 9 0 R 7 /N (s) [1] 1.5 true] >>", page, "42",
          "<< /Kids [3 0 R] /Length 0 >>\nstream\n\nendstream"},
         true},
        {"object that is null", {catalog, "<< /Type /Pages /Kids [3 0 R 4 0 R 4 0 R] >>", page, "null"}, true},
        {"kids not an array", {catalog, "<< /Type /Pages /Kids [3 0 R 4 0 R] >>", page, "<< /Kids 3 >>"}, true},
        {"kids null", {catalog, "<< /Type /Pages /Kids [3 0 R 4 0 R] >>", page, "<< /Kids null >>"}, true},
        {"kids by reference", {catalog, "<< /Type /Pages /Kids 4 0 R >>", page, "[3 0 R 3 0 R]"}, true},
        {"kids referring to nothing",
         {catalog, "<< /Type /Pages /Kids [3 0 R 4 0 R] >>", page, "<< /Kids 9 0 R >>"},
         true},
        {"kids key twice", {catalog, "<< /Type /Pages /Kids [3 0 R] /Kids [3 0 R 3 0 R] >>", page}, true},
        {"root without kids", {catalog, "<< /Type /Pages /Count 4 >>"}, true},
        {"root a page", {catalog, "<< /Type /Page >>"}, true},
        {"no pages", {"<< /Type /Catalog >>"}, true},
        {"pages not a dictionary", {catalog, "7"}, true},
        {"inner node twice", {catalog, "<< /Type /Pages /Kids [4 0 R 4 0 R] >>", page, "<< /Kids [3 0 R] >>"}, false},
        {"loop", {catalog, "<< /Type /Pages /Kids [3 0 R 4 0 R] >>", page, "<< /Type /Pages /Kids [2 0 R] >>"}, false},
        {"self kid", {catalog, "<< /Type /Pages /Kids [2 0 R] >>"}, false},
        {"null kid in place", {catalog, "<< /Type /Pages /Kids [3 0 R null] >>", page}, false},
        {"inner node in place", {catalog, "<< /Type /Pages /Kids [<< /Kids [3 0 R] >>] >>", page}, false},
        {"pages pointing at a page", {"<< /Type /Catalog /Pages 3 0 R >>", "<< /Kids [3 0 R 3 0 R] >>", page}, false},
        {"name with escapes", {catalog, "<< /Type /Pages /K#69ds [3 0 R] >>", page}, false},
    };
    for (const auto& t : trees) {
        for (const Layout layout : {Layout::AsWritten, Layout::Classic, Layout::ObjectStreams}) {
            SCOPED_TRACE(testing::Message() << t.name << ", layout " << int(layout));
            const auto answer = checkAgainstQpdf(laidOut(fixtures::pdfFromObjects(t.objects), layout));
            if (layout == Layout::AsWritten) {
                EXPECT_EQ(answer.has_value(), t.answered);
            }
        }
    }
}

// A chain of inner nodes deeper than the reader walks goes to qpdf, which counts it.
TEST_F(PdfPageTree, LeavesVeryDeepTreesToQpdf)
{
    QList<QByteArray> objects = {"<< /Type /Catalog /Pages 2 0 R >>"};
    for (int i = 0; i < 400; ++i)
        objects += "<< /Type /Pages /Kids [" + QByteArray::number(i + 3) + " 0 R] >>";
    objects.last() = "<< /Type /Page >>";
    EXPECT_FALSE(checkAgainstQpdf(fixtures::pdfFromObjects(objects)).has_value());
    objects.resize(100);
    objects.last() = "<< /Type /Page >>";
    EXPECT_EQ(checkAgainstQpdf(fixtures::pdfFromObjects(objects)), std::optional<quint64>(1));
}

// A file too large to be read at once is read in windows: pages between large streams, an
// object stream and the cross-reference data far from the objects they list.
TEST_F(PdfPageTree, ReadsLargeFilesPieceByPiece)
{
    QList<QByteArray> objects = {"<< /Type /Catalog /Pages 2 0 R >>", {}};
    QByteArray kids;
    quint32 seed = 7;
    for (int i = 0; i < 12; ++i) {
        // Bytes that do not compress, so that the file stays large whoever writes it.
        QByteArray content(150 * 1024 + i * 977, Qt::Uninitialized);
        for (char& c : content)
            c = char((seed = seed * 1103515245 + 12345) >> 16);
        const int page = int(objects.size()) + 1;
        objects += "<< /Type /Page /Parent 2 0 R /Contents " + QByteArray::number(page + 1) + " 0 R >>";
        objects += "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream";
        kids += QByteArray::number(page) + " 0 R " + (i % 3 == 0 ? QByteArray::number(page) + " 0 R " : "");
    }
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] >>";
    for (const Layout layout : {Layout::AsWritten, Layout::ObjectStreams, Layout::Linearized}) {
        SCOPED_TRACE(int(layout));
        const QByteArray pdf = laidOut(fixtures::pdfFromObjects(objects), layout);
        ASSERT_GT(pdf.size(), 1024 * 1024);
        EXPECT_EQ(checkAgainstQpdf(pdf), std::optional<quint64>(16));
    }
}

// Updates appended by hand to files with a classic table and with a cross-reference stream: the
// newest entry of an object wins, a freed object is missing, and the chain is followed to its end.
TEST_F(PdfPageTree, FollowsIncrementalUpdates)
{
    const QByteArray base = fixtures::pdfFromObjects(
        {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>",
         "<< /Type /Page /Parent 2 0 R >>", "<< /Type /Page /Parent 2 0 R >>"});
    for (const Layout layout : {Layout::AsWritten, Layout::ObjectStreams}) {
        SCOPED_TRACE(int(layout));
        QByteArray pdf = laidOut(base, layout);
        QPDF original;
        original.processMemoryFile("base", pdf.constData(), size_t(pdf.size()));
        const int pagesNumber = original.getRoot().getKey("/Pages").getObjectID();
        const int size = original.getTrailer().getKey("/Size").getIntValueAsInt();
        const QByteArray kids =
            QByteArray::fromStdString(original.getRoot().getKey("/Pages").getKey("/Kids").unparse());
        const QByteArray root = QByteArray::fromStdString(original.getTrailer().getKey("/Root").unparse());
        qsizetype startxref = pdf.lastIndexOf("startxref");
        const QByteArray previous = pdf.mid(startxref + 9).trimmed().split('\n').first().trimmed();

        // Update 1: a new page, and the root node listing it after the old kids (and twice).
        const QByteArray entryPages = QByteArray::number(pdf.size()).rightJustified(10, '0');
        pdf += QByteArray::number(pagesNumber) + " 0 obj\n<< /Type /Pages /Kids [" + kids.mid(1, kids.size() - 2) +
               " " + QByteArray::number(size) + " 0 R " + QByteArray::number(size) + " 0 R] /Count 1 >>\nendobj\n";
        const QByteArray entryPage = QByteArray::number(pdf.size()).rightJustified(10, '0');
        pdf += QByteArray::number(size) + " 0 obj\n<< /Type /Page >>\nendobj\n";
        qsizetype xref = pdf.size();
        pdf += "xref\n0 1\n0000000000 65535 f \n" + QByteArray::number(pagesNumber) + " 1\n" + entryPages +
               " 00000 n \n" + QByteArray::number(size) + " 1\n" + entryPage + " 00000 n \ntrailer\n<< /Size " +
               QByteArray::number(size + 1) + " /Root " + root + " /Prev " + previous + " >>\nstartxref\n" +
               QByteArray::number(xref) + "\n%%EOF\n";
        EXPECT_EQ(checkAgainstQpdf(pdf), std::optional<quint64>(4));

        // Update 2: the new page freed; the kids still list it, as a missing object each time.
        const qsizetype previousXref = xref;
        xref = pdf.size();
        pdf += "xref\n" + QByteArray::number(size) + " 1\n0000000000 00001 f \ntrailer\n<< /Size " +
               QByteArray::number(size + 1) + " /Root " + root + " /Prev " + QByteArray::number(previousXref) +
               " >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
        EXPECT_EQ(checkAgainstQpdf(pdf), std::optional<quint64>(4));

        // A /Prev pointing back at the newest section is a loop qpdf repairs; the reader leaves it.
        QByteArray looped = pdf;
        looped.replace(" /Prev " + QByteArray::number(previousXref), " /Prev " + QByteArray::number(xref));
        EXPECT_FALSE(checkAgainstQpdf(looped).has_value());
    }
}

// A hybrid file: a classic table for old readers and a cross-reference stream, named by /XRefStm,
// for the page kept in an object stream.
TEST_F(PdfPageTree, ReadsHybridFiles)
{
    QByteArray pdf = "%PDF-1.5\n";
    qsizetype offsets[7] = {};
    const auto add = [&](int number, const QByteArray& body) {
        offsets[number] = pdf.size();
        pdf += QByteArray::number(number) + " 0 obj\n" + body + "\nendobj\n";
    };
    add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    add(2, "<< /Type /Pages /Kids [3 0 R 5 0 R 5 0 R] >>");
    add(3, "<< /Type /Page /Parent 2 0 R >>");
    const QByteArray inStream = "5 0 << /Type /Page /Parent 2 0 R >>";
    add(4, "<< /Type /ObjStm /N 1 /First 4 /Length " + QByteArray::number(inStream.size()) + " >>\nstream\n" +
               inStream + "\nendstream");
    // The cross-reference stream, /W [1 2 1]: object 5 is entry 0 of stream 4.
    const QByteArray rows("\x02\x00\x04\x00", 4);
    add(6, "<< /Type /XRef /Size 7 /Index [5 1] /W [1 2 1] /Length 4 >>\nstream\n" + rows + "\nendstream");
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 5\n0000000000 65535 f \n";
    for (int i = 1; i <= 4; ++i)
        pdf += QByteArray::number(offsets[i]).rightJustified(10, '0') + " 00000 n \n";
    pdf += "6 1\n" + QByteArray::number(offsets[6]).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size 7 /Root 1 0 R /XRefStm " + QByteArray::number(offsets[6]) + " >>\nstartxref\n" +
           QByteArray::number(xref) + "\n%%EOF\n";
    EXPECT_EQ(checkAgainstQpdf(pdf), std::optional<quint64>(3));

    // Without its stream the table alone leaves object 5 missing, a page all the same.
    QByteArray tableOnly = pdf;
    tableOnly.replace("/XRefStm " + QByteArray::number(offsets[6]), "");
    EXPECT_EQ(checkAgainstQpdf(tableOnly), std::optional<quint64>(3));
}

// Cross-reference data that does not fit the file goes to qpdf, which rebuilds it.
TEST_F(PdfPageTree, LeavesDamagedCrossReferenceToQpdf)
{
    for (const bool objectStreams : {false, true}) {
        SCOPED_TRACE(objectStreams);
        const QString path = m_dir.filePath(QStringLiteral("d%1.pdf").arg(++m_files));
        ASSERT_TRUE(fixtures::writePdf(path, {.pages = 5, .objectStreams = objectStreams}));
        const QByteArray good = fixtures::readBytes(path);
        QByteArray shifted = good;
        shifted.insert(shifted.indexOf('\n') + 1, "% every offset is now 24 bytes short\n");
        EXPECT_FALSE(checkAgainstQpdf(shifted).has_value());
        if (!objectStreams) {
            EXPECT_EQ(qpdfCount(shifted), 5); // rebuilt from the objects found in the file
        }
        QByteArray entry = good;
        const qsizetype startxref = entry.lastIndexOf("startxref");
        entry.replace(startxref, 9, "startxrex");
        EXPECT_FALSE(checkAgainstQpdf(entry).has_value());
        EXPECT_FALSE(checkAgainstQpdf(good.left(good.size() / 2)).has_value());
    }
}

} // namespace
