#include "support/PdfShapes.h"
#include "model/PageCounter.h"
#include "support/Fixtures.h"

#include <QFile>
#include <QTemporaryDir>

#include <qpdf/QPDF.hh>

#include <gtest/gtest.h>

#include <vector>

namespace {

using fixtures::PdfCountDefect;
using fixtures::PdfShapeOptions;
using fixtures::PdfXrefDefect;

struct Shape {
    const char* name;
    PdfShapeOptions options;
    int leaves;           // what a walk of the tree must find
    bool encrypt = false; // rewritten by qpdf into AES-256 object streams afterwards
};

// The /Count of the node `path` leads to from the root, by kid indices; -1 when it has none.
long long countAt(QPDF& pdf, const std::vector<int>& path)
{
    QPDFObjectHandle node = pdf.getRoot().getKey("/Pages");
    for (int kid : path)
        node = node.getKey("/Kids").getArrayItem(kid);
    return node.hasKey("/Count") ? node.getKey("/Count").getIntValue() : -1;
}

// Each shape must hold its defect, and both qpdf's tree walk and the program's count must find
// the leaves written, whatever the /Count values say.
TEST(PdfShapes, TreesHoldTheirDefectsAndWalkToTheLeavesWritten)
{
    const Shape shapes[] = {
        {"one page", {.pages = 1}, 1},
        {"deep", {.pages = 100, .fanout = 2}, 100},
        {"wrong root", {.pages = 30, .count = PdfCountDefect::WrongAtRoot, .countError = 5}, 30},
        {"negative root", {.pages = 3, .count = PdfCountDefect::WrongAtRoot, .countError = -9}, 3},
        {"wrong inner", {.pages = 2, .count = PdfCountDefect::WrongInInnerNode, .countError = -1}, 2},
        {"no root count", {.pages = 12, .fanout = 4, .count = PdfCountDefect::MissingAtRoot}, 12},
        {"no inner count", {.pages = 1, .count = PdfCountDefect::MissingInInnerNodes}, 1},
        {"kid twice", {.pages = 7, .fanout = 3, .kidListedTwice = true}, 8},
        {"updates", {.pages = 10, .fanout = 3, .updates = 3}, 10},
        {"update of one page", {.pages = 1, .updates = 2}, 1},
        {"shifted xref", {.pages = 9, .xref = PdfXrefDefect::ShiftedOffsets}, 9},
        {"startxref", {.pages = 9, .updates = 1, .xref = PdfXrefDefect::WrongStartxref}, 9},
        {"encrypted", {.pages = 20, .count = PdfCountDefect::WrongAtRoot, .countError = 1}, 20, true},
    };
    QTemporaryDir dir;
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const QString path = dir.filePath(QString::fromLatin1(shape.name) + ".pdf");
        ASSERT_EQ(fixtures::writeShapedPdf(path, shape.options), shape.leaves);
        if (shape.encrypt) {
            ASSERT_TRUE(
                fixtures::rewritePdf(path, {.objectStreams = true, .encryption = fixtures::PdfEncryption::Aes256}));
        }
        const QByteArray bytes = fixtures::readBytes(path);
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(QFile::encodeName(path).constData());
        EXPECT_EQ(pdf.getAllPages().size(), size_t(shape.leaves));
        EXPECT_EQ(measurePages(QFile::encodeName(path)).pages, shape.leaves);

        const long long rootCount = countAt(pdf, {});
        switch (shape.options.count) {
        case PdfCountDefect::None:
            EXPECT_EQ(rootCount, shape.leaves);
            break;
        case PdfCountDefect::WrongAtRoot:
            EXPECT_EQ(rootCount, std::max(0, shape.leaves + shape.options.countError));
            break;
        case PdfCountDefect::WrongInInnerNode:
            EXPECT_EQ(countAt(pdf, {0}), std::max(0, shape.leaves + shape.options.countError));
            break;
        case PdfCountDefect::MissingAtRoot:
            EXPECT_EQ(rootCount, -1);
            break;
        case PdfCountDefect::MissingInInnerNodes:
            EXPECT_EQ(rootCount, shape.leaves);
            EXPECT_EQ(countAt(pdf, {0}), -1);
            break;
        }
        EXPECT_EQ(pdf.anyWarnings(), shape.options.xref != PdfXrefDefect::None || shape.options.kidListedTwice);
        if (!shape.encrypt) {
            EXPECT_EQ(bytes.count("startxref"), shape.options.updates + 1);
        }
        EXPECT_EQ(bytes.contains("/Encrypt"), shape.encrypt);
    }
}

TEST(PdfShapes, RefusesOptionsItCannotWrite)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("refused.pdf");
    EXPECT_EQ(fixtures::writeShapedPdf(path, {.pages = 0}), -1);
    EXPECT_EQ(fixtures::writeShapedPdf(path, {.pages = 3, .fanout = 1}), -1);
    EXPECT_EQ(fixtures::writeShapedPdf(path, {.pages = 3, .updates = -1}), -1);
    EXPECT_EQ(fixtures::writeShapedPdf(path, {.pages = 3, .count = PdfCountDefect::WrongAtRoot, .countError = 0}), -1);
    EXPECT_FALSE(QFile::exists(path));
}

} // namespace
