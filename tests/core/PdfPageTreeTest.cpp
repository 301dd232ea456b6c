// The page-tree reader against qpdf's getAllPages() on PDFs written by hand: the counter's count
// is qpdf's (0 where qpdf cannot walk the tree), and the reader itself answers where it should,
// with qpdf's count, and leaves the rest to qpdf.

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

namespace {

enum class Layout { AsWritten, Classic, ObjectStreams, Linearized };

// The bytes as they are, or written anew by qpdf in `layout`; empty where qpdf cannot.
QByteArray laidOut(const QByteArray& bytes, Layout layout)
{
    if (layout == Layout::AsWritten)
        return bytes;
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processMemoryFile("test", bytes.constData(), size_t(bytes.size()));
        QPDFWriter writer(pdf);
        writer.setOutputMemory();
        writer.setStaticID(true);
        if (layout == Layout::ObjectStreams)
            writer.setObjectStreamMode(qpdf_o_generate);
        writer.setLinearization(layout == Layout::Linearized);
        writer.write();
        const auto buffer = writer.getBufferSharedPointer();
        return QByteArray(reinterpret_cast<const char*>(buffer->getBuffer()), qsizetype(buffer->getSize()));
    } catch (...) {
        return {};
    }
}

class PdfPageTree : public ::testing::Test {
protected:
    // The counter's count equals qpdf's (0 where qpdf cannot walk the tree); returns the
    // reader's own answer, which must then be qpdf's count too.
    std::optional<quint64> checkAgainstQpdf(const QByteArray& bytes)
    {
        const QString path = m_dir.filePath("f.pdf");
        EXPECT_TRUE(fixtures::writeBytes(path, bytes));
        long long expected = 0;
        try {
            QPDF pdf;
            pdf.setSuppressWarnings(true);
            pdf.processMemoryFile("test", bytes.constData(), size_t(bytes.size()));
            expected = static_cast<long long>(pdf.getAllPages().size());
        } catch (...) {
        }
        EXPECT_EQ(measurePages(QFile::encodeName(path)).pages, expected);
        pagecount::FileReader file(QFile::encodeName(path));
        CountingBudget budget({2'000'000'000, 256 * 1024 * 1024, 4 * 1024 * 1024});
        const std::optional<pdftree::PageTreeCount> answer = pdftree::countPages(file, {}, budget);
        if (answer) {
            EXPECT_EQ(answer->pages, quint64(expected));
        }
        return answer ? std::optional<quint64>(answer->pages) : std::nullopt;
    }

    QTemporaryDir m_dir;
};

// The builder's odd PDFs, as written by hand and, where qpdf can read them, rewritten by qpdf with
// a classic table and with object streams and a cross-reference stream.
TEST_F(PdfPageTree, CountsOddPdfsAsQpdfDoesAndLeavesItOnlyWhatItDoesNotUnderstand)
{
    for (const fixtures::OddPdf& odd : fixtures::oddPdfs()) {
        SCOPED_TRACE(odd.name);
        EXPECT_EQ(checkAgainstQpdf(odd.bytes).has_value(), odd.ownReaderAnswers);
        for (const Layout layout : {Layout::Classic, Layout::ObjectStreams}) {
            if (const QByteArray rewritten = laidOut(odd.bytes, layout); !rewritten.isEmpty())
                checkAgainstQpdf(rewritten);
        }
    }
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
        const QByteArray page = QByteArray::number(objects.size() + 1);
        objects += "<< /Type /Page /Parent 2 0 R /Contents " + QByteArray::number(objects.size() + 2) + " 0 R >>";
        objects += "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream";
        kids += page + " 0 R " + (i % 3 == 0 ? page + " 0 R " : "");
    }
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] >>";
    for (const Layout layout : {Layout::AsWritten, Layout::ObjectStreams, Layout::Linearized}) {
        SCOPED_TRACE(int(layout));
        const QByteArray pdf = laidOut(fixtures::pdfFromObjects(objects), layout);
        ASSERT_GT(pdf.size(), 1024 * 1024);
        EXPECT_EQ(checkAgainstQpdf(pdf), std::optional<quint64>(16));
    }
}

} // namespace
