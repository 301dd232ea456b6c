#pragma once

// Reads back what a PDF shows, with qpdf, so that tests can check generated documents.

#include <QString>
#include <QStringList>

#include <optional>

namespace fixtures {

struct PdfText {
    // Per page, the characters drawn on it in drawing order, each glyph mapped back through
    // its font's ToUnicode map. Blanks that are not drawn as glyphs (word spaces, line ends)
    // are not in it.
    QStringList pages;
};

// The pages and drawn text of the PDF at `path`; none when qpdf cannot open it.
std::optional<PdfText> readPdfText(const QString& path);

// `text` without any blank and with ligatures split ("\uFB01" gives "fi"), to compare a
// document's text with PdfText::drawn.
QString comparable(const QString& text);

} // namespace fixtures
