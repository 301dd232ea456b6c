// folimeter_fuzz_seeds: writes the starting corpus of every fuzz target into a folder, one
// subfolder per target, from the tests' builder: a small file of every kind it makes (libFuzzer
// mutates small inputs far faster), its odd page trees and damaged files, import lists and
// export items.

#include "support/Fixtures.h"
#include "support/SeededRandomData.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>

#include <qpdf/QUtil.hh>

#include <cstdio>
#include <cstring>

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
    // Encryption keys and shapes from a fixed seed: the same files on every run.
    fixtures::SeededRandomData randomData(20261206);
    QUtil::setRandomDataProvider(&randomData);
    std::mt19937 rng(20261206);
    const QString root = QFile::decodeName(argv[argc - 1]) + '/';
    bool ok = true;
    for (const char* target : {"tiff_count", "pdf_count", "pdf_tree", "import_list", "export"})
        ok = QDir().mkpath(root + target) && ok;
    const auto write = [&](const QStringList& names, const QByteArray& bytes) {
        for (const QString& name : names)
            ok = fixtures::writeBytes(root + name, bytes) && ok;
    };

    static const QRegularExpression notInName(QStringLiteral("[^a-z0-9]+"));
    for (const fixtures::FileKind& kind : fixtures::fileKinds()) {
        const QString name = QString::fromLatin1(kind.name).toLower().replace(notInName, "-");
        const QString path = root + (kind.isPdf() ? "pdf_count/" + name + ".pdf" : "tiff_count/" + name + ".tif");
        ok = fixtures::writeFileOfKind(path, kind, 3, rng, rng() % 2, 8).leaves >= 0 && ok;
        if (kind.isPdf())
            write({"pdf_tree/" + name + ".pdf"}, fixtures::readBytes(path));
    }
    for (const fixtures::OddPdf& odd : fixtures::oddPdfs()) {
        if (odd.bytes.size() > 16 * 1024)
            continue; // large seeds slow libFuzzer down
        const QString name = QString::fromLatin1(odd.name).replace(' ', '-') + ".pdf";
        write({"pdf_count/" + name, "pdf_tree/" + name}, odd.bytes);
    }
    // A page tree without a cross-reference table, for the reader to rebuild.
    write({"pdf_count/no-xref.pdf", "pdf_tree/no-xref.pdf"},
          "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n2 0 obj << /Type /Pages /Count 2 /Kids [3 0 "
          "R 3 0 R] >> endobj\n3 0 obj << /Type /Page /Parent 2 0 R >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n");
    // An image directory whose next-directory offset points back at itself; a header pointing
    // past the end.
    write({"tiff_count/loop.tif"}, QByteArray("II*\0\x08\0\0\0\x03\0"
                                              "\x00\x01\x03\0\x01\0\0\0\x01\0\0\0" // ImageWidth 1
                                              "\x01\x01\x03\0\x01\0\0\0\x01\0\0\0" // ImageLength 1
                                              "\x11\x01\x04\0\x01\0\0\0\x08\0\0\0" // StripOffsets 8
                                              "\x08\0\0\0",                        // next: itself
                                              50));
    write({"tiff_count/past-end.tif"}, QByteArray("MM\0*\x7f\xff\xff\xf0", 8));

    const QByteArray lists[] = {
        "/tmp/a.pdf\n/tmp/b.TIF\n/tmp/c.txt\n",
        "scan.tiff\r\nrelative/dir/doc.Pdf\r\n~/home.pdf\r\n",
        "/x/a.pdf\n/x/a.pdf\n/x/./a.pdf\n/x/../x/a.pdf\n//x/a.pdf\n",
        "/folder.pdf/\n/no-extension\n/trailing.\n/.pdf\n",
        "/with space.pdf\n/with,comma.tif\n/with\rcr.pdf\n/q\"uote.pdf\r",
        "/caf\xc3\xa9 %20#?.pdf\n/\xe6\x96\x87.tif\n/bad\xff\xfe.pdf\n\xef\xbb\xbf/bom.pdf\n",
    };
    for (const QByteArray& list : lists)
        write({QStringLiteral("import_list/list-%1.txt").arg(&list - lists)}, list);
    // Export items: "pages\x01size\x01path", NUL between them.
    const auto item = [](qint64 pages, qint64 size, const QByteArray& path) {
        return QByteArray::number(pages) + '\x01' + QByteArray::number(size) + '\x01' + path;
    };
    const QByteArrayList items[] = {
        {item(3, 4096, "/tmp/a.pdf"), item(12, 1500000, "/tmp/b.tif"),
         item(2147483647, -1, "/bad\xff/caf\xc3\xa9.tif")},
        {item(1, 7000000000000, "/t/tab\there.pdf"), item(2, 0, "/t/line\nbreak\r.tif"), "7\x01x\x01/\"/q\"uote\".pdf"},
        {"/", "a.", "/.pdf", "/dir.pdf/", "x\x01y"},
    };
    for (const QByteArrayList& set : items)
        write({QStringLiteral("export/items-%1.bin").arg(&set - items)}, set.join('\0'));

    if (stuckTree)
        ok = !fixtures::writeStuckTree(root).isEmpty() && ok;
    QUtil::setRandomDataProvider(nullptr);
    if (!ok)
        std::fprintf(stderr, "folimeter_fuzz_seeds: could not write every seed into %s\n", argv[argc - 1]);
    return ok ? 0 : 1;
}
