// The builder's tables: the kinds of file it makes, and hand-written page trees. Apart from
// Fixtures.cpp, which may have to be built as C++17 (see fuzz/CMakeLists.txt): the kinds are
// written with designated initializers.

#include "support/Fixtures.h"

#include <stdexcept>

namespace fixtures {

const std::vector<FileKind>& fileKinds()
{
    using C = TiffCompression;
    using E = PdfEncryption;
    using D = PdfCountDefect;
    using X = PdfXrefDefect;
    constexpr Format P = Format::Pdf, S = Format::ShapedPdf;
    constexpr int Office = 6000; // content bytes a page of an office document holds, about
    constexpr E Aes = E::Aes256;
    static const std::vector<FileKind> kinds = {
        {.name = "TIFF none"},
        {.name = "TIFF LZW", .compression = C::Lzw},
        {.name = "TIFF Deflate", .compression = C::Deflate},
        {.name = "TIFF PackBits", .compression = C::PackBits},
        {.name = "TIFF CCITT G3", .compression = C::Ccitt3},
        {.name = "TIFF CCITT G4", .compression = C::Ccitt4},
        {.name = "TIFF JPEG", .compression = C::Jpeg},
        {.name = "TIFF ZSTD", .compression = C::Zstd},
        {.name = "TIFF LZMA", .compression = C::Lzma},
        {.name = "BigTIFF none", .bigTiff = true},
        {.name = "BigTIFF LZW", .bigTiff = true, .compression = C::Lzw},
        {.name = "BigTIFF Deflate", .bigTiff = true, .compression = C::Deflate},
        {.name = "BigTIFF CCITT G4", .bigTiff = true, .compression = C::Ccitt4},
        {.name = "PDF flat tree (qpdf)", .format = P},
        {.name = "PDF balanced tree", .format = S},
        {.name = "PDF xref+obj. streams", .format = P, .objectStreams = true},
        {.name = "PDF linearized", .format = P, .linearize = true},
        {.name = "PDF linearized, obj. str.", .format = P, .objectStreams = true, .linearize = true},
        {.name = "PDF incremental updates", .format = S, .incremental = true},
        {.name = "PDF office", .format = S, .contentBytes = Office},
        {.name = "PDF office, linearized", .format = P, .linearize = true, .contentBytes = Office},
        {.name = "PDF office, incremental", .format = S, .incremental = true, .contentBytes = Office},
        {.name = "PDF tiff2pdf", .format = Format::ImagePdf, .contentBytes = 4 * Office},
        {.name = "PDF RC4-128", .format = P, .encryption = E::Rc4_128},
        {.name = "PDF AES-128", .format = P, .encryption = E::Aes128},
        {.name = "PDF AES-256", .format = P, .encryption = Aes},
        {.name = "PDF AES-256, obj. streams", .format = P, .objectStreams = true, .encryption = Aes},
        {.name = "PDF RC4-40, obj. str.", .format = P, .objectStreams = true, .encryption = E::Rc4_40},
        {.name = "PDF RC4-128, obj. str.", .format = P, .objectStreams = true, .encryption = E::Rc4_128},
        {.name = "PDF RC4-128 R4, obj. str.", .format = P, .objectStreams = true, .encryption = E::Rc4_128R4},
        {.name = "PDF AES-128, obj. str.", .format = P, .objectStreams = true, .encryption = E::Aes128},
        {.name = "PDF AES-256 R5, obj. str.", .format = P, .objectStreams = true, .encryption = E::Aes256R5},
        {.name = "PDF locked RC4-128", .format = P, .encryption = E::Rc4_128, .locked = true},
        {.name = "PDF locked AES-256", .format = P, .encryption = Aes, .locked = true},
        {.name = "PDF locked AES-256, obj. str.",
         .format = P,
         .objectStreams = true,
         .encryption = Aes,
         .locked = true},
        {.name = "PDF damaged: xref offsets", .format = S, .xrefDefect = PdfXrefDefect::ShiftedOffsets},
        {.name = "PDF damaged: startxref", .format = S, .xrefDefect = PdfXrefDefect::WrongStartxref},
        {.name = "PDF damaged: startxref, AES-256 obj. str.",
         .format = P,
         .objectStreams = true,
         .encryption = Aes,
         .xrefDefect = X::WrongStartxref},
        {.name = "PDF damaged: truncated", .format = S, .xrefDefect = X::Truncated},
        {.name = "PDF damaged: truncated update", .format = S, .xrefDefect = X::Truncated, .incremental = true},
        {.name = "PDF damaged: no trailer", .format = S, .xrefDefect = X::NoTrailer},
        {.name = "PDF damaged: no trailer, RC4-128", .format = P, .encryption = E::Rc4_128, .xrefDefect = X::NoTrailer},
        {.name = "PDF damaged: no trailer, RC4-128 obj. str.",
         .format = P,
         .objectStreams = true,
         .encryption = E::Rc4_128,
         .xrefDefect = X::NoTrailer},
        {.name = "PDF damaged: no trailer, AES-256 obj. str.",
         .format = P,
         .objectStreams = true,
         .encryption = Aes,
         .xrefDefect = X::NoTrailer},
        {.name = "PDF damaged: trailer without <<", .format = S, .xrefDefect = X::TrailerWithoutDict},
        {.name = "PDF damaged: trailer without /Root", .format = S, .xrefDefect = X::TrailerWithoutRoot},
        {.name = "PDF damaged: xref stream, obj. str.",
         .format = P,
         .objectStreams = true,
         .xrefDefect = X::DamagedXrefStream},
        {.name = "PDF damaged: startxref in object", .format = S, .xrefDefect = X::StartxrefInObject},
        {.name = "PDF wrong /Count at root", .format = S, .countDefect = D::WrongAtRoot},
        {.name = "PDF wrong /Count inner", .format = S, .countDefect = D::WrongInInnerNode},
        {.name = "PDF no /Count at root", .format = S, .countDefect = D::MissingAtRoot},
        {.name = "PDF no /Count inner", .format = S, .countDefect = D::MissingInInnerNodes},
        {.name = "PDF wrong /Count, obj. str.", .format = S, .objectStreams = true, .countDefect = D::WrongAtRoot},
        {.name = "PDF wrong /Count, AES-256", .format = S, .encryption = Aes, .countDefect = D::WrongAtRoot},
        {.name = "PDF no /Count, AES-256 obj. str.",
         .format = S,
         .objectStreams = true,
         .encryption = Aes,
         .countDefect = D::MissingAtRoot},
        {.name = "PDF kid listed twice", .format = S, .kidListedTwice = true},
    };
    return kinds;
}

const FileKind& fileKind(const std::string& name)
{
    for (const FileKind& kind : fileKinds()) {
        if (name == kind.name)
            return kind;
    }
    throw std::out_of_range("no file kind " + name);
}

const std::vector<OddPdf>& oddPdfs()
{
    static const std::vector<OddPdf> pdfs = [] {
        const QByteArray catalog = "<< /Type /Catalog /Pages 2 0 R >>", page = "<< /Type /Page /Parent 2 0 R >>";
        const auto tree = [&](const QByteArray& root, const QList<QByteArray>& more = {}) {
            return pdfFromObjects(QList<QByteArray>{catalog, root} + more);
        };
        const auto replaced = [](QByteArray bytes, const QByteArray& from, const QByteArray& to) {
            return bytes.replace(from, to);
        };
        QList<QByteArray> shared{catalog}; // each node lists the next twice: 2^40 paths to one page
        for (int level = 3; level < 43; ++level)
            shared << "<< /Type /Pages /Kids [" + QByteArray::number(level) + " 0 R " + QByteArray::number(level) +
                          " 0 R] >>";
        const QByteArray table = tree("<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>", {page, page});
        const QByteArray streams = pdfWithStreams();
        // Updates: a page added and listed twice, then freed (each listing a missing object, a page
        // all the same), then a /Prev pointing back at the newest section: a loop.
        QByteArray updated[2] = {table, streams};
        QByteArray freed[2], looped[2];
        for (int i = 0; i < 2; ++i) {
            const int added = i == 0 ? 5 : 6;
            const QByteArray kids = i == 0 ? "3 0 R 4 0 R " : "3 0 R ";
            const QByteArray previous =
                QByteArray::number(appendRevision(updated[i],
                                                  {{2, "<< /Type /Pages /Kids [" + kids + QByteArray::number(added) +
                                                           " 0 R " + QByteArray::number(added) + " 0 R] /Count 1 >>"},
                                                   {added, "<< /Type /Page >>"}},
                                                  added + 1));
            freed[i] = updated[i];
            const qint64 last = appendRevision(freed[i], {{added, {}}}, added + 1);
            looped[i] = replaced(freed[i], "/Prev " + previous + " >>", "/Prev " + QByteArray::number(last) + " >>");
        }
        // A hybrid file: a classic table for objects 0 to 4 and 6, and /XRefStm naming the stream
        // (object 6) that puts object 5, a page, in object stream 4.
        const QByteArray inStream = "5 0 " + page;
        QByteArray hybrid =
            pdfFromObjects({catalog, "<< /Type /Pages /Kids [3 0 R 5 0 R 5 0 R] >>", page,
                            "<< /Type /ObjStm /N 1 /First 4 /Length " + QByteArray::number(inStream.size()) +
                                " >>\nstream\n" + inStream + "\nendstream",
                            "null",
                            "<< /Type /XRef /Size 7 /Index [5 1] /W [1 2 1] /Length 4 >>\nstream\n" +
                                QByteArray("\x02\0\x04\0", 4) + "\nendstream"});
        hybrid.replace("/Root 1 0 R", "/Root 1 0 R /XRefStm " + QByteArray::number(hybrid.indexOf("6 0 obj")));
        // As writers make them, the object in a stream listed free in the table; and left out of it.
        const QByteArray hybridListedFree =
            replaced(hybrid, hybrid.mid(hybrid.indexOf("xref\n0 7\n") + 9 + 20 * 5, 18), "0000000000 65535 f");
        hybrid.replace(hybrid.indexOf("xref\n0 7\n") + 9 + 20 * 5, 20, "6 1\n");
        hybrid.replace("xref\n0 7\n", "xref\n0 5\n");
        // The cross-reference stream's rows deflated, its filter in a one-item array, its parameters in an empty one.
        const qsizetype rowsAt = streams.lastIndexOf(">>\nstream\n") + 10;
        const QByteArray rows = qCompress(streams.mid(rowsAt, streams.lastIndexOf("\nendstream") - rowsAt)).mid(4);
        const QByteArray deflatedRows =
            streams.left(streams.lastIndexOf("/Length", rowsAt)) + "/Filter [/FlateDecode] /DecodeParms [] /Length " +
            QByteArray::number(rows.size()) + " >>\nstream\n" + rows + streams.mid(streams.lastIndexOf("\nendstream"));
        const QByteArray onePage = tree("<< /Type /Pages /Kids [3 0 R] /Count 1 >>", {page});
        // No table: a tree redefined later, the last object cut off after its dictionary; a catalog
        // only in an object stream beside a /Pages node no node lists; and a trailer whose /Root is
        // not there, beside two catalogs.
        const QByteArray untabled = "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n2 0 obj << "
                                    "/Type /Pages /Kids [3 0 R] >> endobj 3 0 obj " +
                                    page + " endobj\n2 0 obj << /Kids [3 0 R 3 0 R 4 0 R] >> endobj 4 0 obj " + page;
        const QByteArray catalogInStream = "1 0 " + catalog;
        const QByteArray streamCatalog = "%PDF-1.5\n2 0 obj << /Type /Pages /Kids [3 0 R 3 0 R] >> endobj\n3 0 obj " +
                                         page + " endobj\n4 0 obj << /Type /ObjStm /N 1 /First 4 /Length " +
                                         QByteArray::number(catalogInStream.size()) + " >> stream\n" + catalogInStream +
                                         "\nendstream endobj 5 0 obj << /Type /Pages /Kids [3 0 R] >> endobj\n";
        const QByteArray twoCatalogs =
            replaced(pdfFromObjects({catalog, "<< /Type /Pages /Kids [3 0 R] >>", page,
                                     "<< /Type /Catalog /Pages 5 0 R >>", "<< /Type /Pages /Kids [3 0 R 3 0 R] >>"}),
                     "/Root 1 0 R", "/Root 9 0 R");
        // Bytes before the header: offsets counted from the header, as qpdf counts them, from the
        // file's first byte, or from neither; a header too far on for anything but a repair.
        const QByteArray mail = "Content-Type: application/pdf\r\n\r\n", shifted = "% every offset is 40 bytes short\n";
        QByteArray absolute = mail + "%PDF-1.4\n";
        appendRevision(absolute,
                       {{1, catalog}, {2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>"}, {3, page}, {4, page}}, 5);
        return std::vector<OddPdf>{
            {"wrong count", tree("<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 9 >>", {page, page}), true},
            {"no count", tree("<< /Type /Pages /Kids [3 0 R 4 0 R] >>", {page, page}), true},
            {"huge count", tree("<< /Type /Pages /Kids [3 0 R] /Count 9999999999 >>", {page}), true},
            {"nested",
             tree("<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 3 >>",
                  {page, "<< /Type /Pages /Kids [5 0 R << /Type /Page >>] >>", "<< /Type /Pages /Kids [6 0 R] >>",
                   page}),
             true},
            {"page listed thrice", tree("<< /Type /Pages /Kids [3 0 R 3 0 R 3 0 R 4 0 R] >>", {page, page}), true},
            {"kids that are no dictionaries",
             tree("<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R 9 0 R 7 /N (s) [1] 1.5 true] >>",
                  {page, "42", "<< /Kids [3 0 R] /Length 0 >>\nstream\n\nendstream"}),
             true},
            {"object that is null", tree("<< /Type /Pages /Kids [3 0 R 4 0 R 4 0 R] >>", {page, "null"}), true},
            {"kids not an array", tree("<< /Type /Pages /Kids [3 0 R 4 0 R] >>", {page, "<< /Kids 3 >>"}), true},
            {"kids null", tree("<< /Type /Pages /Kids [3 0 R 4 0 R] >>", {page, "<< /Kids null >>"}), true},
            {"kids by reference", tree("<< /Type /Pages /Kids 4 0 R >>", {page, "[3 0 R 3 0 R]"}), true},
            {"kids referring to nothing", tree("<< /Type /Pages /Kids [3 0 R 4 0 R] >>", {page, "<< /Kids 9 0 R >>"}),
             true},
            {"kids key twice", tree("<< /Type /Pages /Kids [3 0 R] /Kids [3 0 R 3 0 R] >>", {page}), true},
            {"root without kids", tree("<< /Type /Pages /Count 4 >>"), true},
            {"root a page", tree("<< /Type /Page >>"), true},
            {"no pages", pdfFromObjects({"<< /Type /Catalog >>"}), true},
            {"pages not a dictionary", tree("7"), true},
            {"chain of 100", pageTreeChain(100), true},
            {"chain deeper than the reader walks", pageTreeChain(1000), false},
            {"inner node twice", tree("<< /Type /Pages /Kids [4 0 R 4 0 R] >>", {page, "<< /Kids [3 0 R] >>"}), false},
            {"shared nodes", pdfFromObjects(shared << "<< /Type /Page >>"), false},
            // Counts as MuPDF and poppler give them: the kid that lists an ancestor left out.
            {"loop",
             tree("<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 1 >>",
                  {page, "<< /Type /Pages /Kids [2 0 R] /Count 0 >>"}),
             true, 1},
            {"loop below the root",
             tree("<< /Type /Pages /Kids [4 0 R] /Count 3 >>",
                  {page, "<< /Type /Pages /Kids [3 0 R 5 0 R 3 0 R] /Count 3 >>",
                   "<< /Type /Pages /Kids [4 0 R 3 0 R] /Count 1 >>"}),
             true, 3},
            {"loop, kids that are no dictionaries",
             tree("<< /Type /Pages /Kids [3 0 R 4 0 R 7 (s)] /Count 1 >>",
                  {page, "<< /Type /Pages /Kids [2 0 R 9 0 R 5 0 R] /Count 0 >>", "42"}),
             true, 1},
            {"self kid", tree("<< /Type /Pages /Kids [2 0 R] /Count 9999999999 >>"), true},
            {"null kid in place", tree("<< /Type /Pages /Kids [3 0 R null] >>", {page}), false},
            {"inner node in place", tree("<< /Type /Pages /Kids [<< /Kids [3 0 R] >>] >>", {page}), false},
            {"pages pointing at a page",
             pdfFromObjects({"<< /Type /Catalog /Pages 3 0 R >>", "<< /Kids [3 0 R 3 0 R] >>", page}), false},
            {"name with escapes", tree("<< /Type /Pages /K#69ds [3 0 R] >>", {page}), false},
            {"update over a table", updated[0], true},
            {"update over a stream", updated[1], true},
            {"freed in an update over a table", freed[0], true},
            {"freed in an update over a stream", freed[1], true},
            {"update loop over a table", looped[0], true},
            {"update loop over a stream", looped[1], true, 3},
            {"hybrid", hybrid, true},
            {"hybrid, its object in a stream listed free", hybridListedFree, true},
            {"hybrid without its stream", replaced(hybrid, "/XRefStm", "/NoXRefStm"), true},
            {"streams", streams, true},
            {"offsets shifted", replaced(table, "%PDF-1.7\n", "%PDF-1.7\n% every offset is now 40 bytes short\n"),
             true},
            {"stream offsets shifted",
             replaced(streams, "%PDF-1.7\n", "%PDF-1.7\n% every offset is now 40 bytes short\n"), true, 1},
            {"no startxref", replaced(table, "startxref", "startxrex"), true},
            {"entry offset not a number", replaced(table, "0000000000 65535 f", "000000000: 65535 f"), true},
            {"entry generation not a number", replaced(table, "0000000000 65535 f", "0000000000 6553: f"), true},
            {"stream without startxref", replaced(streams, "startxref", "startxrex"), true, 1},
            {"cut", table.left(table.size() / 2), false},
            {"stream cut", streams.left(streams.size() / 2), true, 1},
            {"huge size", replaced(onePage, "/Size 4", "/Size 2000000000"), true},
            {"huge subsection", replaced(onePage, "xref\n0 4\n", "xref\n0 2000000000\n"), true},
            {"far subsection", replaced(onePage, "xref\n0 4\n", "xref\n4000000000 4\n"), true},
            {"huge stream size", replaced(streams, "/Size 6", "/Size 2000000000 /Index [0 2000000000]"), true, 1},
            {"huge object stream", replaced(streams, "/N 1", "/N 2000000000"), true, 1},
            {"redefined without a table", untabled, true, 3},
            {"catalog in an object stream, no table", streamCatalog, true, 2},
            {"root not there, two catalogs", twoCatalogs, true, 2},
            {"filter and parameters in arrays", deflatedRows, true},
            {"bytes before the header", mail + table, true},
            {"byte order mark before the header, xref stream", "\xEF\xBB\xBF" + streams, true},
            {"bytes before the header, offsets from the first byte", absolute, true},
            {"bytes before the header, offsets from neither",
             mail + replaced(table, "%PDF-1.7\n", "%PDF-1.7\n" + shifted), true},
            {"header past the first 1,024 bytes", QByteArray(1024, '\n') + table, true},
            {"no header", replaced(table, "%PDF-1.7\n", "%PDX-1.7\n"), true},
        };
    }();
    return pdfs;
}

} // namespace fixtures
