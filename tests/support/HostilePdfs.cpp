#include "support/HostilePdfs.h"

#include "support/Fixtures.h"

#include <zlib.h>

namespace fixtures {

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
