#include "support/Fixtures.h"

#include <QDir>
#include <QFile>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

namespace fixtures {

namespace {

QByteArray number(qint64 n)
{
    return QByteArray::number(n);
}

// `bytes` bytes that do not compress, the same for the same `seed`: the stand-in for a page's
// drawing or image data.
QByteArray noise(int bytes, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    QByteArray data(std::max(bytes, 0), Qt::Uninitialized);
    for (qsizetype i = 0; i < data.size(); i += 4) {
        const std::uint32_t word = rng();
        std::memcpy(data.data() + i, &word, size_t(std::min<qsizetype>(4, data.size() - i)));
    }
    return data;
}

// Writes the PDF `make` builds in a QPDF to `path`, in the layout and encryption of `options`;
// false when qpdf fails.
bool write(const QString& path, const PdfOptions& options, const std::function<void(QPDF&)>& make)
{
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        make(pdf);
        QPDFWriter writer(pdf, QFile::encodeName(path).constData());
        writer.setStaticID(true);
        if (options.objectStreams)
            writer.setObjectStreamMode(qpdf_o_generate);
        writer.setLinearization(options.linearize);
        const std::string user = options.userPassword.toStdString(), owner = options.ownerPassword.toStdString();
        const char *u = user.c_str(), *o = owner.c_str();
        using E = PdfEncryption;
        const E e = options.encryption;
        if (e == E::Rc4_40)
            writer.setR2EncryptionParametersInsecure(u, o, true, true, true, true);
        else if (e == E::Rc4_128)
            writer.setR3EncryptionParametersInsecure(u, o, true, true, true, true, true, true, qpdf_r3p_full);
        else if (e == E::Rc4_128R4 || e == E::Aes128)
            writer.setR4EncryptionParametersInsecure(u, o, true, true, true, true, true, true, qpdf_r3p_full,
                                                     e == E::Aes128, e == E::Aes128);
        else if (e == E::Aes256R5)
            writer.setR5EncryptionParameters(u, o, true, true, true, true, true, true, qpdf_r3p_full, true);
        else if (e == E::Aes256)
            writer.setR6EncryptionParameters(u, o, true, true, true, true, true, true, qpdf_r3p_full, true);
        writer.write();
        return true;
    } catch (...) {
        return false;
    }
}

// Writes a balanced page tree of `pages` pages with fan-out `fanout`: the first revision, then
// `updates` more that each add a share of the pages below one inner node and rewrite the root.
// Returns the leaves, a page listed twice twice, or -1.
int writeShapedPdf(const QString& path, const FileKind& kind, int pages, int fanout, int updates, int countError)
{
    using D = PdfCountDefect;
    // A /Count made wrong below 1 stays wrong at 0: every node holds a page.
    const auto count = [&](int leaves, bool omitted) {
        return omitted ? QByteArray() : " /Count " + number(std::max(leaves, 0));
    };
    std::map<int, QByteArray> objects; // the revision's: the catalog 1, the root 2, then the pages and nodes
    QByteArray pdf, rootKids;
    int next = 3, leaves = 0;
    bool firstPage = true, firstInner = true;
    // Writes `n` pages below node `parent`: straight below it while they fit (and not `wrap`),
    // else in balanced inner nodes. Returns their references and their leaves.
    std::function<std::pair<QByteArray, int>(int, int, bool)> kids = [&](int n, int parent, bool wrap) {
        QByteArray refs;
        int total = 0;
        if (n <= fanout && !wrap) {
            for (int i = 0; i < n; ++i, next += 2) {
                const QByteArray content = "BT /F1 12 Tf 72 720 Td (Page " + number(next) + ") Tj ET\n" +
                                           noise(kind.contentBytes, std::uint32_t(next));
                objects[next] = "<< /Type /Page /Parent " + number(parent) +
                                " 0 R /MediaBox [0 0 612 792] /Resources << >> /Contents " + number(next + 1) +
                                " 0 R >>";
                objects[next + 1] = "<< /Length " + number(content.size()) + " >>\nstream\n" + content + "\nendstream";
                const int listed = kind.kidListedTwice && std::exchange(firstPage, false) ? 2 : 1;
                refs += QByteArray(number(next) + " 0 R ").repeated(listed);
                total += listed;
            }
            return std::pair(refs, total);
        }
        const int groups = std::clamp((n + fanout - 1) / fanout, 1, fanout);
        for (int g = 0; g < groups; ++g) {
            const int node = next++;
            const bool wrong = std::exchange(firstInner, false) && kind.countDefect == D::WrongInInnerNode;
            const auto [below, found] = kids(n / groups + (g < n % groups), node, false);
            objects[node] = "<< /Type /Pages /Parent " + number(parent) + " 0 R /Kids [" + below + "]" +
                            count(found + (wrong ? countError : 0), kind.countDefect == D::MissingInInnerNodes) + " >>";
            refs += number(node) + " 0 R ";
            total += found;
        }
        return std::pair(refs, total);
    };
    const int perUpdate = pages / (updates + 1);
    for (int revision = 0; revision <= updates; ++revision) {
        const int share = revision == 0 ? pages - perUpdate * updates : perUpdate;
        const bool wrap =
            revision > 0 || kind.countDefect == D::WrongInInnerNode || kind.countDefect == D::MissingInInnerNodes;
        const auto [refs, found] = share > 0 ? kids(share, 2, wrap) : std::pair(QByteArray(), 0);
        rootKids += refs;
        leaves += found;
        if (revision == 0)
            objects[1] = "<< /Type /Catalog /Pages 2 0 R >>";
        objects[2] = "<< /Type /Pages /Kids [" + rootKids + "]" +
                     count(leaves + (kind.countDefect == D::WrongAtRoot ? countError : 0),
                           kind.countDefect == D::MissingAtRoot) +
                     " >>";
        appendRevision(pdf, objects, next, kind.xrefDefect == PdfXrefDefect::ShiftedOffsets ? 3 : 0);
        objects.clear();
    }
    return writeBytes(path, pdf) ? leaves : -1;
}

// Writes `pages` pages of one image each as tiff2pdf lays them out: the catalog, the document
// information and one /Pages node, then for each page its dictionary, its content stream, the
// image and the two stream lengths as objects of their own. Returns the pages, or -1.
int writeImagePdf(const QString& path, int pages, int imageBytes)
{
    std::map<int, QByteArray> objects{{1, "<< /Type /Catalog /Pages 3 0 R >>"},
                                      {2, "<< /Producer (tiff2pdf) /CreationDate (D:20260101000000) >>"}};
    QByteArray kids;
    const QByteArray draw = "q 612.0000 0.0000 0.0000 792.0000 0.0000 0.0000 cm /Im1 Do Q";
    for (int i = 0, n = 4; i < pages; ++i, n += 5) {
        kids += number(n) + " 0 R ";
        objects[n] = "<<\n/Type /Page\n/Parent 3 0 R\n/MediaBox [0.0000 0.0000 612.0000 792.0000]\n/Contents " +
                     number(n + 1) + " 0 R\n/Resources <<\n/XObject <<\n/Im1 " + number(n + 3) +
                     " 0 R >>\n/ProcSet [ /ImageB ]\n>>\n>>";
        objects[n + 1] = "<<\n/Length " + number(n + 2) + " 0 R\n>>\nstream\n" + draw + "\nendstream";
        objects[n + 2] = number(draw.size());
        objects[n + 3] = "<<\n/Length " + number(n + 4) +
                         " 0 R\n/Type /XObject\n/Subtype /Image\n/Name /Im1\n/Width 2480\n/Height 3508\n"
                         "/BitsPerComponent 1\n/ColorSpace /DeviceGray\n/Filter /CCITTFaxDecode /DecodeParms << /K -1 "
                         "/Columns 2480 /Rows 3508 /BlackIs1 true >>\n>>\nstream\n" +
                         noise(imageBytes, std::uint32_t(n)) + "\nendstream";
        objects[n + 4] = number(imageBytes);
    }
    objects[3] = "<<\n/Type /Pages\n/Kids [ " + kids + "]\n/Count " + number(pages) + "\n>>";
    QByteArray pdf;
    appendRevision(pdf, objects, 4 + 5 * pages);
    return writeBytes(path, pdf) ? pages : -1;
}

// Applies `defect` to the cross-reference data or the trailers of a written PDF.
QByteArray damaged(QByteArray pdf, PdfXrefDefect defect)
{
    using X = PdfXrefDefect;
    const qsizetype startxref = pdf.lastIndexOf("startxref") + 9;
    const auto pointStartxrefAt = [&](qint64 offset) {
        const qsizetype at = startxref + 1, end = pdf.indexOf('\n', at);
        pdf.replace(at, end - at, number(offset));
    };
    if (defect == X::WrongStartxref)
        pointStartxrefAt(pdf.mid(startxref + 1, 20).trimmed().toLongLong() + 1000000);
    if (defect == X::StartxrefInObject)
        pointStartxrefAt(pdf.indexOf("\n3 0 obj") + 4);
    if (defect == X::Truncated)
        pdf.truncate(pdf.lastIndexOf("\nxref\n") + 8);
    for (qsizetype at = 0; (at = pdf.indexOf("trailer", at)) >= 0; at += 7) {
        if (defect == X::NoTrailer)
            pdf.remove(at, pdf.indexOf("startxref", at) - at);
        if (defect == X::TrailerWithoutDict)
            pdf.remove(pdf.indexOf("<<", at), 2);
        if (defect == X::TrailerWithoutRoot)
            pdf.remove(pdf.indexOf("/Root", at), pdf.indexOf(" R", at) + 2 - pdf.indexOf("/Root", at));
    }
    for (qsizetype at = 0; defect == X::DamagedXrefStream && (at = pdf.indexOf("/Type /XRef", at)) >= 0; ++at) {
        const qsizetype data = pdf.indexOf("stream\n", at) + 7;
        pdf.replace(data, 16, QByteArray(16, 'x'));
    }
    for (qsizetype at = 0; defect == X::NoTrailer && (at = pdf.indexOf("/Type /XRef")) >= 0;) {
        const qsizetype object = pdf.lastIndexOf("\n", pdf.lastIndexOf(" obj", at)) + 1;
        pdf.remove(object, pdf.indexOf("endobj", at) + 6 - object);
    }
    return pdf;
}

} // namespace

bool writeTiff(const QString& path, const TiffOptions& options)
{
    const std::string mode = std::string("w") + (options.bigEndian ? "b" : "l") + (options.bigTiff ? "8" : "");
    TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), mode.c_str());
    if (!tiff)
        return false;
    static const uint16_t compressions[] = {
        COMPRESSION_NONE,      COMPRESSION_LZW,  COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS, COMPRESSION_CCITTFAX4,
        COMPRESSION_CCITTFAX3, COMPRESSION_JPEG, COMPRESSION_ZSTD,          COMPRESSION_LZMA,
    };
    const bool bilevel =
        options.compression == TiffCompression::Ccitt4 || options.compression == TiffCompression::Ccitt3;
    const auto width = uint32_t(options.width), height = uint32_t(options.height);
    const tmsize_t rowBytes = bilevel ? tmsize_t((width + 7) / 8) : tmsize_t(width);
    std::vector<unsigned char> row(size_t(rowBytes), 0);
    bool ok = true;
    for (int page = 0; page < options.pages && ok; ++page) {
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bilevel ? 1 : 8);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, bilevel ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, compressions[int(options.compression)]);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, height);
        TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tiff, TIFFTAG_PAGENUMBER, uint16_t(page), uint16_t(options.pages));
        for (uint32_t y = 0; y < height && ok; ++y) {
            for (tmsize_t x = 0; x < rowBytes; ++x)
                row[size_t(x)] = static_cast<unsigned char>((x + y + uint32_t(page)) * 37);
            ok = TIFFWriteScanline(tiff, row.data(), y, 0) >= 0;
        }
        ok = ok && TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
    return ok;
}

bool writePdf(const QString& path, const PdfOptions& options)
{
    return write(path, options, [&](QPDF& pdf) {
        pdf.emptyPDF();
        QPDFPageDocumentHelper pages(pdf);
        for (int i = 0; i < options.pages; ++i) {
            QPDFObjectHandle page = pdf.makeIndirectObject(
                QPDFObjectHandle::parse("<< /Type /Page /MediaBox [0 0 612 792] /Resources << >> >>"));
            page.replaceKey("/Contents",
                            pdf.newStream("BT /F1 12 Tf 72 720 Td (Page " + std::to_string(i + 1) + ") Tj ET\n" +
                                          noise(options.contentBytes, std::uint32_t(i)).toStdString()));
            pages.addPage(QPDFPageObjectHelper(page), false);
        }
    });
}

qint64 appendRevision(QByteArray& pdf, const std::map<int, QByteArray>& objects, int size, int shift)
{
    const qsizetype last = pdf.lastIndexOf("startxref\n") + 10;
    const QByteArray previous = last < 10 ? QByteArray() : pdf.mid(last, pdf.indexOf('\n', last) - last);
    if (pdf.isEmpty())
        pdf = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
    std::map<int, qint64> offsets;
    if (previous.isEmpty())
        offsets[0] = -1;
    for (const auto& [n, body] : objects) {
        offsets[n] = body.isEmpty() ? -1 : pdf.size() + shift;
        if (!body.isEmpty())
            pdf += number(n) + " 0 obj\n" + body + "\nendobj\n";
    }
    const qint64 xref = pdf.size();
    pdf += "xref\n";
    for (auto it = offsets.begin(); it != offsets.end();) { // subsections of consecutive numbers
        auto end = std::next(it);
        while (end != offsets.end() && end->first == std::prev(end)->first + 1)
            ++end;
        pdf += number(it->first) + ' ' + number(std::distance(it, end)) + '\n';
        for (; it != end; ++it)
            pdf +=
                it->second < 0 ? "0000000000 65535 f\r\n" : number(it->second).rightJustified(10, '0') + " 00000 n\r\n";
    }
    pdf += "trailer\n<< /Size " + number(size) + " /Root 1 0 R" + (previous.isEmpty() ? "" : " /Prev " + previous) +
           " >>\nstartxref\n" + number(xref) + "\n%%EOF\n";
    return xref;
}

QByteArray pdfFromObjects(const QList<QByteArray>& objects)
{
    std::map<int, QByteArray> numbered;
    for (qsizetype i = 0; i < objects.size(); ++i)
        numbered[int(i) + 1] = objects[i];
    QByteArray pdf;
    appendRevision(pdf, numbered, int(objects.size()) + 1);
    return pdf;
}

QByteArray pdfWithStreams(const QByteArray& objectStream, const QByteArray& xrefStream)
{
    QByteArray pdf = "%PDF-1.7\n", rows("\0\0\0\0\0\x02\0\0\x04\0", 10); // object 0 free, 1 first in object stream 4
    const auto next = [&] {                                              // the next object's row, and its header
        rows += QByteArray(1, 1) + char(pdf.size() >> 16) + char(pdf.size() >> 8) + char(pdf.size()) + char(0);
        return number(rows.size() / 5 - 1) + " 0 obj\n";
    };
    const auto stream = [](const QByteArray& dictionary, const QByteArray& data, bool deflated) {
        return "<< " + dictionary + " /Length " + number(data.size()) + (deflated ? " /Filter /FlateDecode" : "") +
               " >>\nstream\n" + data + "\nendstream\nendobj\n";
    };
    pdf += next() + "<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n";
    pdf += next() + "<< /Type /Page /Parent 2 0 R >>\nendobj\n";
    const bool bomb = !objectStream.isEmpty();
    pdf += next() +
           stream("/Type /ObjStm /N 1 /First 4", bomb ? objectStream : "1 0 << /Type /Catalog /Pages 2 0 R >>", bomb);
    const QByteArray xref = number(pdf.size()), header = next();
    pdf += header + stream("/Type /XRef /Size 6 /W [1 3 1] /Root 1 0 R", xrefStream.isEmpty() ? rows : xrefStream,
                           !xrefStream.isEmpty());
    return pdf + "startxref\n" + xref + "\n%%EOF\n";
}

QByteArray zeroBomb(quint64 bytes)
{
    // One block of fixed Huffman codes: a literal 0, then matches of 258 bytes at distance 1.
    QByteArray out("\x78\x01", 2);
    quint32 buffer = 0, bits = 0;
    const auto put = [&](quint32 value, int count) { // Huffman codes go most significant bit first
        for (int i = count - 1; i >= 0; --i) {
            buffer |= ((value >> i) & 1u) << bits;
            if (++bits == 8)
                out += char(std::exchange(buffer, 0)), bits = 0;
        }
    };
    put(0b11000110000, 11); // the last block, fixed codes (type 01, least significant bit first), literal 0
    const quint64 runs = bytes / 258 + 1;
    for (quint64 i = 0; i < runs; ++i)
        put(0xC5 << 5, 13);               // length 258, distance 1
    put(0, 7 + (8 - (bits + 7) % 8) % 8); // the end of the block, then up to the byte
    const quint32 adler = quint32((1 + runs * 258) % 65521) << 16 | 1u;
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char(adler >> shift);
    return out;
}

QByteArray pageTreeChain(int depth)
{
    QList<QByteArray> objects{"<< /Type /Catalog /Pages 2 0 R >>"};
    for (int level = 0; level < depth; ++level)
        objects << "<< /Type /Pages /Kids [" + number(level + 3) + " 0 R] /Count 1 >>";
    return pdfFromObjects(objects << "<< /Type /Page >>");
}

WrittenFile writeFileOfKind(const QString& path, const FileKind& kind, int pages, std::mt19937& rng, bool bigEndian,
                            int width)
{
    WrittenFile file;
    PdfOptions pdf;
    pdf.pages = pages;
    pdf.objectStreams = kind.objectStreams;
    pdf.encryption = kind.encryption;
    pdf.userPassword = kind.locked ? QString::fromLatin1(kLockedPassword) : QString();
    if (kind.format == Format::Tiff) {
        const TiffOptions tiff{pages, bigEndian, kind.bigTiff, kind.compression, width, width + width / 2};
        file.leaves = writeTiff(path, tiff) ? pages : -1;
    } else if (kind.format == Format::ImagePdf) {
        file.leaves = writeImagePdf(path, pages, kind.contentBytes);
    } else if (kind.format == Format::Pdf) {
        pdf.linearize = kind.linearize;
        pdf.contentBytes = kind.contentBytes;
        file.leaves = writePdf(path, pdf) ? pages : -1;
    } else {
        static const int fanouts[] = {3, 6, 10, 16, 32};
        const int fanout = fanouts[rng() % std::size(fanouts)], updates = kind.incremental ? int(1 + rng() % 3) : 0;
        const int error = int(1 + rng() % std::uint32_t(pages)); // too many as often as too few
        file.leaves = writeShapedPdf(path, kind, pages, fanout, updates, rng() % 2 ? error : -error);
        // qpdf keeps the tree as it is, defects and all, and moves it into object streams or
        // encrypts around it.
        const QByteArray shaped = readBytes(path);
        if (file.leaves >= 0 && (kind.objectStreams || kind.encryption != PdfEncryption::None) &&
            !write(path, pdf,
                   [&](QPDF& q) { q.processMemoryFile("shaped", shaped.constData(), size_t(shaped.size())); }))
            file.leaves = -1;
    }
    if (file.leaves >= 0 && kind.xrefDefect != PdfXrefDefect::None &&
        !writeBytes(path, damaged(readBytes(path), kind.xrefDefect)))
        file.leaves = -1;
    // Without its password, a locked PDF's tree is readable only outside (encrypted) object streams.
    file.expected = kind.locked && kind.objectStreams ? 0 : file.leaves;
    return file;
}

int referenceCount(const QString& path, bool isPdf, const char* password)
{
    const QByteArray native = QFile::encodeName(path);
    if (!isPdf) {
        // The directories TIFFReadDirectory reads, as tiffinfo lists them.
        TIFF* tiff = TIFFOpen(native.constData(), "r");
        if (!tiff)
            return -1;
        int count = 1;
        while (TIFFReadDirectory(tiff))
            ++count;
        TIFFClose(tiff);
        return count;
    }
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(native.constData(), password);
        return int(pdf.getAllPages().size());
    } catch (const std::exception&) {
        return -1;
    }
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString writeStuckTree(const QString& parent)
{
    const QString folder = parent + "/stuck";
    if (!QDir().mkpath(folder) || !writePdf(folder + "/a-quick.pdf"))
        return {};
    constexpr int kPages = 300000;
    QByteArray kids, pages;
    for (int i = 3; i < kPages + 3; ++i) {
        kids += number(i) + " 0 R ";
        pages += number(i) + " 0 obj << /Type /Page /Parent 2 0 R >> endobj\n";
    }
    const QByteArray pdf =
        "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n2 0 obj << /Type /Pages /Count " + number(kPages) +
        " /Kids [<< /Type /Pages /Parent 2 0 R /Count " + number(kPages) + " /Kids [" + kids + "] >>] >> endobj\n" +
        pages + "trailer << /Root 1 0 R >>\n%%EOF\n";
    return writeBytes(folder + "/b-slow.pdf", pdf) ? folder : QString();
}

QStringList localPaths(const QList<QUrl>& urls)
{
    QStringList result;
    for (const QUrl& url : urls)
        result << url.toLocalFile();
    return result;
}

namespace {

// A zlib stream of `bytes` bytes that decodes to `data`: empty stored blocks that are not the
// last (header bits and padding, LEN 0, NLEN ~0), the last holding the data, its Adler-32.
QByteArray storedBlocks(const QByteArray& data, int bytes)
{
    const int empty = qMax(0, (bytes - 11 - int(data.size())) / 5);
    QByteArray out = "\x78\x01" + QByteArray("\x00\x00\x00\xff\xff", 5).repeated(empty);
    const auto n = quint16(data.size());
    const char last[] = {1, char(n), char(n >> 8), char(~n), char(~n >> 8)};
    out += QByteArray(last, 5) + data;
    const uLong adler = adler32(1, reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size()));
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char(adler >> shift);
    return out;
}

} // namespace

QByteArray pdfWithRepeatedLargePage(int arrayBytes, int references)
{
    const QByteArray kids = QByteArray("3 0 R ").repeated(references);
    return pdfFromObjects(
        {"<< /Type /Catalog /Pages 2 0 R >>",
         "<< /Type /Pages /Count " + QByteArray::number(references) + " /Kids [" + kids + "] >>",
         "<< /Type /Page /Parent 2 0 R /Filler [" + QByteArray("1 ").repeated(arrayBytes / 2) + "] >>"});
}

QByteArray pdfWithSharedXRefStm(int tables, int streamBytes)
{
    QByteArray pdf = pdfFromObjects({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Count 1 /Kids [3 0 R] >>",
                                     "<< /Type /Page /Parent 2 0 R >>"});
    pdf.truncate(pdf.indexOf("xref")); // the objects alone
    // The stream lists itself, object 4, in one row of widths 1 2 1.
    const qsizetype streamAt = pdf.size();
    const char row[] = {1, char(streamAt >> 8), char(streamAt), 0};
    const QByteArray data = storedBlocks(QByteArray(row, 4), streamBytes);
    pdf += "4 0 obj\n<< /Type /XRef /Size 5 /Index [4 1] /W [1 2 1] /Filter /FlateDecode /Length " +
           QByteArray::number(data.size()) + " >>\nstream\n" + data + "\nendstream\nendobj\n";
    QByteArray table = "xref\n0 4\n0000000000 65535 f \n";
    for (const char* object : {"1 0 obj", "2 0 obj", "3 0 obj"})
        table += QByteArray::number(pdf.indexOf(object)).rightJustified(10, '0') + " 00000 n \n";
    table += "trailer\n<< /Size 5 /Root 1 0 R /XRefStm " + QByteArray::number(streamAt);
    qsizetype previous = -1;
    for (int t = 0; t < tables; ++t) {
        const qsizetype at = pdf.size();
        pdf += table + (t > 0 ? " /Prev " + QByteArray::number(previous) : QByteArray()) + " >>\n";
        previous = at;
    }
    return pdf + "startxref\n" + QByteArray::number(previous) + "\n%%EOF\n";
}

} // namespace fixtures
