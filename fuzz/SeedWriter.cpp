// folimeter_fuzz_seeds: writes the starting corpus of every fuzz target into a folder, one
// subfolder per target, from the same generators the tests use. Files are small on purpose:
// libFuzzer mutates small inputs far faster.

#include "fuzz/FuzzChecks.h"
#include "support/Fixtures.h"
#include "support/SeededRandomData.h"

#include <QCoreApplication>
#include <QDir>

#include <qpdf/QUtil.hh>

#include <cstdio>
#include <cstring>

namespace {

using fixtures::PdfEncryption;
using fixtures::TiffCompression;

int g_failures = 0;

void check(bool ok, const QString& path)
{
    if (!ok) {
        std::fprintf(stderr, "folimeter_fuzz_seeds: could not write %s\n", qPrintable(path));
        ++g_failures;
    }
}

void writeTiffSeeds(const QString& dir)
{
    static const struct {
        const char* name;
        TiffCompression compression;
    } compressions[] = {
        {"none", TiffCompression::None},         {"lzw", TiffCompression::Lzw},   {"deflate", TiffCompression::Deflate},
        {"packbits", TiffCompression::PackBits}, {"g4", TiffCompression::Ccitt4}, {"g3", TiffCompression::Ccitt3},
        {"jpeg", TiffCompression::Jpeg},         {"zstd", TiffCompression::Zstd}, {"lzma", TiffCompression::Lzma},
    };
    for (const auto& c : compressions) {
        for (const bool bigEndian : {false, true}) {
            for (const bool bigTiff : {false, true}) {
                const int pages = bigTiff ? 3 : 2;
                const QString path = QStringLiteral("%1/%2-%3%4-%5p.tif")
                                         .arg(dir, QLatin1String(c.name), QLatin1String(bigEndian ? "be" : "le"),
                                              QLatin1String(bigTiff ? "-big" : ""))
                                         .arg(pages);
                check(fixtures::writeTiff(path, {.pages = pages,
                                                 .bigEndian = bigEndian,
                                                 .bigTiff = bigTiff,
                                                 .compression = c.compression,
                                                 .width = 8,
                                                 .height = 4}),
                      path);
            }
        }
    }
    // An image directory whose next-directory offset points back at itself.
    QByteArray loop("II*\0\x08\0\0\0", 8);
    loop += QByteArray("\x03\0"                             // three entries
                       "\x00\x01\x03\0\x01\0\0\0\x01\0\0\0" // ImageWidth SHORT 1 = 1
                       "\x01\x01\x03\0\x01\0\0\0\x01\0\0\0" // ImageLength SHORT 1 = 1
                       "\x11\x01\x04\0\x01\0\0\0\x08\0\0\0" // StripOffsets LONG 1 = 8
                       "\x08\0\0\0",                        // next directory: this one again
                       42);
    check(fixtures::writeBytes(dir + "/loop.tif", loop), dir + "/loop.tif");
    // A header pointing past the end.
    check(fixtures::writeBytes(dir + "/past-end.tif", QByteArray("MM\0*\x7f\xff\xff\xf0", 8)), dir + "/past-end.tif");
}

void writePdfSeeds(const QString& dir)
{
    static const struct {
        const char* name;
        PdfEncryption encryption;
    } encryptions[] = {
        {"plain", PdfEncryption::None},
        {"rc4", PdfEncryption::Rc4_128},
        {"aes128", PdfEncryption::Aes128},
        {"aes256", PdfEncryption::Aes256},
    };
    for (const auto& e : encryptions) {
        for (const bool objectStreams : {false, true}) {
            for (const bool linearize : {false, true}) {
                const int pages = objectStreams ? 3 : 2;
                const QString path = QStringLiteral("%1/%2%3%4-%5p.pdf")
                                         .arg(dir, QLatin1String(e.name), QLatin1String(objectStreams ? "-objstm" : ""),
                                              QLatin1String(linearize ? "-lin" : ""))
                                         .arg(pages);
                check(fixtures::writePdf(path, {.pages = pages,
                                                .objectStreams = objectStreams,
                                                .linearize = linearize,
                                                .encryption = e.encryption}),
                      path);
            }
        }
    }
    const QString locked = dir + "/aes256-locked.pdf";
    check(fixtures::writePdf(locked, {.encryption = PdfEncryption::Aes256, .userPassword = "user"}), locked);

    // Hand-made page trees without a cross-reference table, for the reader to rebuild.
    const auto tree = [](const QByteArray& pagesObject) {
        return "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n2 0 obj " + pagesObject +
               " endobj\n3 0 obj << /Type /Page /Parent 2 0 R >> endobj\n"
               "4 0 obj << /Type /Page /Parent 2 0 R >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n";
    };
    check(fixtures::writeBytes(dir + "/no-xref.pdf", tree("<< /Type /Pages /Count 2 /Kids [3 0 R 4 0 R] >>")),
          dir + "/no-xref.pdf");
    check(fixtures::writeBytes(dir + "/self-kid.pdf", tree("<< /Type /Pages /Count 3 /Kids [3 0 R 2 0 R] >>")),
          dir + "/self-kid.pdf");
    check(fixtures::writeBytes(dir + "/huge-count.pdf", tree("<< /Type /Pages /Count 9999999999 /Kids [3 0 R] >>")),
          dir + "/huge-count.pdf");
    check(fixtures::writeBytes(dir + "/same-kid.pdf", tree("<< /Type /Pages /Count 2 /Kids [3 0 R 3 0 R] >>")),
          dir + "/same-kid.pdf");
}

// The PDF seeds, and page trees of every shape with valid cross-reference tables, so that the
// mutations start where the page-tree reader answers.
void writePdfTreeSeeds(const QString& dir)
{
    writePdfSeeds(dir);
    const QByteArray catalog = "<< /Type /Catalog /Pages 2 0 R >>";
    const QByteArray page = "<< /Type /Page /Parent 2 0 R >>";
    const struct {
        const char* name;
        QList<QByteArray> objects;
    } trees[] = {
        {"flat", {catalog, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>", page, page}},
        {"nested",
         {catalog, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 3 >>", page,
          "<< /Type /Pages /Parent 2 0 R /Kids [5 0 R 3 0 R] /Count 2 >>", page}},
        {"odd-kids",
         {catalog, "<< /Type /Pages /Kids [3 0 R 9 0 R 4 0 R 7 (x) << /Type /Page >>] >>", page, "<< /Kids null >>"}},
        {"kids-by-reference", {catalog, "<< /Type /Pages /Kids 4 0 R >>", page, "[3 0 R 3 0 R]"}},
        {"loop", {catalog, "<< /Type /Pages /Kids [3 0 R 4 0 R] >>", page, "<< /Type /Pages /Kids [2 0 R] >>"}},
    };
    for (const auto& t : trees) {
        const QString path = QStringLiteral("%1/tree-%2.pdf").arg(dir, QLatin1String(t.name));
        check(fixtures::writeBytes(path, fixtures::pdfFromObjects(t.objects)), path);
    }
}

void writeImportListSeeds(const QString& dir)
{
    const QByteArray lists[] = {
        "/tmp/a.pdf\n/tmp/b.TIF\n/tmp/c.txt\n",
        "scan.tiff\r\nrelative/dir/doc.Pdf\r\n~/home.pdf\r\n",
        "/x/a.pdf\n/x/a.pdf\n/x/./a.pdf\n/x/../x/a.pdf\n",
        "/folder.pdf/\n/no-extension\n/trailing.\n/.pdf\n",
        "/with space.pdf\n/with,comma.tif\n/with\rcr.pdf\n/q\"uote.pdf\r",
        "/percent%20.pdf\n/hash#.pdf\n/query?.tif\n//double/slash.pdf\n",
        "/caf\xc3\xa9.pdf\n/\xe6\x96\x87.tif\n/bad\xff\xfe.pdf\n",
        "\xef\xbb\xbf/bom.pdf\n",
    };
    int i = 0;
    for (const QByteArray& list : lists) {
        const QString path = QStringLiteral("%1/list-%2.txt").arg(dir).arg(++i);
        check(fixtures::writeBytes(path, list), path);
    }
}

void writeExportSeeds(const QString& dir)
{
    using fuzzcheck::ExportItemFields;
    const std::vector<std::vector<ExportItemFields>> sets = {
        {{"/tmp/a.pdf", 3, 4096}, {"/tmp/b.tif", 12, 1'500'000}},
        {{"/t/tab\there.pdf", 1, 512}, {"/t/line\nbreak.tif", 2, 0}, {"/t/q\"uote\".pdf", 7, 2'000'000'000}},
        {{"/t/cr\r.pdf", 0, 999'999}, {"/\"/\t/x.tif", 5, 1'000'000}, {"/t/no-extension", 0, 0}},
        {{"/caf\xc3\xa9/\xe6\x96\x87.pdf", 9, 7'000'000'000'000}, {"/bad\xff/x\xfe.tif", 2147483647, -1}},
        {{"/", 0, 0}, {"/a.", 1, 1}, {"/.pdf", 2, 2}, {"/dir.pdf/", 3, 3}},
    };
    int i = 0;
    for (const auto& set : sets) {
        const QString path = QStringLiteral("%1/items-%2.bin").arg(dir).arg(++i);
        check(fixtures::writeBytes(path, fuzzcheck::exportBytesFromItems(set)), path);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool stuckTree = argc == 3 && std::strcmp(argv[1], "--stuck-tree") == 0;
    if (argc != 2 + int(stuckTree)) {
        std::fprintf(stderr, "usage: folimeter_fuzz_seeds [--stuck-tree] DIR\n"
                             "Writes the seed corpus of every fuzz target into DIR/<target>; with\n"
                             "--stuck-tree also the tests' slow-PDF tree into DIR/stuck.\n");
        return 2;
    }
    // Encryption keys from a fixed seed: the same files on every run.
    fixtures::SeededRandomData randomData(20261206);
    QUtil::setRandomDataProvider(&randomData);

    const QString root = QFile::decodeName(argv[argc - 1]);
    const struct {
        const char* target;
        void (*write)(const QString&);
    } targets[] = {
        {"tiff_count", writeTiffSeeds},        {"pdf_count", writePdfSeeds}, {"pdf_tree", writePdfTreeSeeds},
        {"import_list", writeImportListSeeds}, {"export", writeExportSeeds},
    };
    for (const auto& t : targets) {
        const QString dir = root + QLatin1Char('/') + QLatin1String(t.target);
        if (!QDir().mkpath(dir)) {
            std::fprintf(stderr, "folimeter_fuzz_seeds: could not make %s\n", qPrintable(dir));
            return 1;
        }
        t.write(dir);
    }
    if (stuckTree)
        check(!fixtures::writeStuckTree(root).isEmpty(), root + "/stuck");
    QUtil::setRandomDataProvider(nullptr);
    return g_failures == 0 ? 0 : 1;
}
