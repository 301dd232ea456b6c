#include "support/PdfText.h"

#include <QFile>

#include <poppler-document.h>
#include <poppler-page.h>

#include <memory>

namespace fixtures {

std::optional<PdfText> readPdfText(const QString& path)
{
    const std::unique_ptr<poppler::document> document(
        poppler::document::load_from_file(QFile::encodeName(path).toStdString()));
    if (!document || document->is_locked())
        return std::nullopt;
    PdfText result;
    for (int i = 0; i < document->pages(); ++i) {
        const std::unique_ptr<poppler::page> page(document->create_page(i));
        const poppler::byte_array utf8 =
            page ? page->text({}, poppler::page::raw_order_layout).to_utf8() : poppler::byte_array();
        result.pages << QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
    }
    return result;
}

QString comparable(const QString& text)
{
    QString result;
    for (const QChar c : text.normalized(QString::NormalizationForm_KC)) {
        if (!c.isSpace())
            result += c;
    }
    return result;
}

} // namespace fixtures
