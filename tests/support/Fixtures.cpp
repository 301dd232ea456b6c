#include "support/Fixtures.h"

#include <QDir>
#include <QFile>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <tiffio.h>

#include <vector>

namespace fixtures {

namespace {

uint16_t libtiffCompression(TiffCompression c)
{
    switch (c) {
    case TiffCompression::None:
        return COMPRESSION_NONE;
    case TiffCompression::Lzw:
        return COMPRESSION_LZW;
    case TiffCompression::Deflate:
        return COMPRESSION_ADOBE_DEFLATE;
    case TiffCompression::PackBits:
        return COMPRESSION_PACKBITS;
    case TiffCompression::Ccitt4:
        return COMPRESSION_CCITTFAX4;
    case TiffCompression::Ccitt3:
        return COMPRESSION_CCITTFAX3;
    case TiffCompression::Jpeg:
        return COMPRESSION_JPEG;
    case TiffCompression::Zstd:
        return COMPRESSION_ZSTD;
    case TiffCompression::Lzma:
        return COMPRESSION_LZMA;
    }
    return COMPRESSION_NONE;
}

// Writes `pdf` to `path` with the object streams, linearization and encryption of `options`.
void writeWithOptions(QPDF& pdf, const QString& path, const PdfOptions& options)
{
    QPDFWriter writer(pdf, QFile::encodeName(path).constData());
    writer.setStaticID(true);
    if (options.objectStreams)
        writer.setObjectStreamMode(qpdf_o_generate);
    if (options.linearize)
        writer.setLinearization(true);
    const QByteArray user = options.userPassword.toUtf8();
    const QByteArray owner = options.ownerPassword.toUtf8();
    switch (options.encryption) {
    case PdfEncryption::None:
        break;
    case PdfEncryption::Rc4_128:
        writer.setR3EncryptionParametersInsecure(user.constData(), owner.constData(), true, true, true, true, true,
                                                 true, qpdf_r3p_full);
        break;
    case PdfEncryption::Aes128:
        writer.setR4EncryptionParametersInsecure(user.constData(), owner.constData(), true, true, true, true, true,
                                                 true, qpdf_r3p_full, true, true);
        break;
    case PdfEncryption::Aes256:
        writer.setR6EncryptionParameters(user.constData(), owner.constData(), true, true, true, true, true, true,
                                         qpdf_r3p_full, true);
        break;
    }
    writer.write();
}

} // namespace

bool writeTiff(const QString& path, const TiffOptions& options)
{
    std::string mode = "w";
    mode += options.bigEndian ? "b" : "l";
    if (options.bigTiff)
        mode += "8";
    TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), mode.c_str());
    if (!tiff)
        return false;
    const bool bilevel =
        options.compression == TiffCompression::Ccitt4 || options.compression == TiffCompression::Ccitt3;
    const uint32_t width = uint32_t(options.width);
    const uint32_t height = uint32_t(options.height);
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
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, libtiffCompression(options.compression));
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
    try {
        QPDF pdf;
        pdf.emptyPDF();
        QPDFPageDocumentHelper pages(pdf);
        for (int i = 0; i < options.pages; ++i) {
            const std::string content = "BT /F1 12 Tf 72 720 Td (Page " + std::to_string(i + 1) + ") Tj ET\n";
            QPDFObjectHandle contents = pdf.newStream(content);
            QPDFObjectHandle page = pdf.makeIndirectObject(
                QPDFObjectHandle::parse("<< /Type /Page /MediaBox [0 0 612 792] /Resources << >> >>"));
            page.replaceKey("/Contents", contents);
            pages.addPage(QPDFPageObjectHelper(page), false);
        }
        writeWithOptions(pdf, path, options);
        return true;
    } catch (...) {
        return false;
    }
}

bool rewritePdf(const QString& path, const PdfOptions& options)
{
    try {
        // Read from memory: the file is written over in place.
        const QByteArray bytes = readBytes(path);
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processMemoryFile(QFile::encodeName(path).constData(), bytes.constData(), size_t(bytes.size()));
        writeWithOptions(pdf, path, options);
        return !bytes.isEmpty();
    } catch (...) {
        return false;
    }
}

QByteArray pdfFromObjects(const QList<QByteArray>& objects, const QByteArray& trailer, const QByteArray& xrefHeader)
{
    QByteArray pdf = "%PDF-1.7\n";
    QByteArray table;
    for (qsizetype i = 0; i < objects.size(); ++i) {
        table += QByteArray::number(pdf.size()).rightJustified(10, '0') + " 00000 n \n";
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n" + (xrefHeader.isEmpty() ? "0 " + QByteArray::number(objects.size() + 1) : xrefHeader) + "\n";
    pdf += "0000000000 65535 f \n" + table;
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R " + trailer + " >>\n";
    return pdf + "startxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
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
    QByteArray pdf = "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n";
    pdf += "2 0 obj << /Type /Pages /Count " + QByteArray::number(kPages) + " /Kids [";
    for (int i = 0; i < kPages; ++i)
        pdf += QByteArray::number(i + 3) + " 0 R ";
    pdf += "] >> endobj\n";
    for (int i = 0; i < kPages; ++i)
        pdf += QByteArray::number(i + 3) + " 0 obj << /Type /Page /Parent 2 0 R >> endobj\n";
    pdf += "trailer << /Root 1 0 R >>\n%%EOF\n";
    return writeBytes(folder + "/b-slow.pdf", pdf) ? folder : QString();
}

QStringList localPaths(const QList<QUrl>& urls)
{
    QStringList result;
    for (const QUrl& url : urls)
        result << url.toLocalFile();
    return result;
}

} // namespace fixtures
