#pragma once

// Reads back what a PDF shows, with poppler, so that tests can check generated documents.

#include <QString>
#include <QStringList>

#include <optional>

namespace fixtures {

struct PdfText {
    // Per page, the text drawn on it in drawing order, mapped back to characters through each
    // font's ToUnicode map; poppler puts blanks between words and lines.
    QStringList pages;
};

// The pages and drawn text of the PDF at `path`; none when poppler cannot open it.
std::optional<PdfText> readPdfText(const QString& path);

// `text` without any blank and with ligatures split ("\uFB01" gives "fi"), to compare a
// document's text with PdfText::pages.
QString comparable(const QString& text);

} // namespace fixtures
