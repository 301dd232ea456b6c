#include "support/PdfText.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <exception>
#include <map>
#include <vector>

namespace fixtures {

namespace {

// One font's ToUnicode map: code -> characters, and the width of its codes in bytes.
struct CharacterMap {
    QHash<quint32, QString> characters;
    int codeBytes = 1;
};

QString utf16BigEndian(const QString& hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    QString text;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        text += QChar(char16_t((quint8(bytes[i]) << 8) | quint8(bytes[i + 1])));
    return text;
}

CharacterMap parseToUnicode(const QString& cmap)
{
    CharacterMap map;
    const QRegularExpression codespace(QStringLiteral("begincodespacerange\\s*<([0-9A-Fa-f]+)>"));
    if (const auto m = codespace.match(cmap); m.hasMatch())
        map.codeBytes = int(m.captured(1).size() / 2);

    const QRegularExpression charBlock(QStringLiteral("beginbfchar(.*?)endbfchar"),
                                       QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpression pair(QStringLiteral("<([0-9A-Fa-f]+)>\\s*<([0-9A-Fa-f]+)>"));
    for (auto blocks = charBlock.globalMatch(cmap); blocks.hasNext();) {
        const QString block = blocks.next().captured(1);
        for (auto pairs = pair.globalMatch(block); pairs.hasNext();) {
            const auto p = pairs.next();
            map.characters.insert(p.captured(1).toUInt(nullptr, 16), utf16BigEndian(p.captured(2)));
        }
    }

    const QRegularExpression rangeBlock(QStringLiteral("beginbfrange(.*?)endbfrange"),
                                        QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpression range(
        QStringLiteral("<([0-9A-Fa-f]+)>\\s*<([0-9A-Fa-f]+)>\\s*(<[0-9A-Fa-f]+>|\\[[^\\]]*\\])"));
    const QRegularExpression hex(QStringLiteral("<([0-9A-Fa-f]+)>"));
    for (auto blocks = rangeBlock.globalMatch(cmap); blocks.hasNext();) {
        const QString block = blocks.next().captured(1);
        for (auto ranges = range.globalMatch(block); ranges.hasNext();) {
            const auto r = ranges.next();
            const quint32 low = r.captured(1).toUInt(nullptr, 16);
            const quint32 high = r.captured(2).toUInt(nullptr, 16);
            const QString target = r.captured(3);
            if (target.startsWith(QLatin1Char('['))) {
                quint32 code = low;
                for (auto items = hex.globalMatch(target); items.hasNext() && code <= high; ++code)
                    map.characters.insert(code, utf16BigEndian(items.next().captured(1)));
            } else {
                QString first = utf16BigEndian(target.mid(1, target.size() - 2));
                for (quint32 code = low; code <= high && !first.isEmpty(); ++code) {
                    map.characters.insert(code, first);
                    first.back() = QChar(char16_t(first.back().unicode() + 1));
                }
            }
        }
    }
    return map;
}

// Collects the strings shown by Tj, TJ, ' and " under the font chosen by Tf.
class ShownText : public QPDFObjectHandle::ParserCallbacks {
public:
    explicit ShownText(const std::map<std::string, CharacterMap>& fonts) : m_fonts(fonts) {}

    void handleObject(QPDFObjectHandle object) override
    {
        if (!object.isOperator()) {
            m_operands.push_back(object);
            return;
        }
        const std::string op = object.getOperatorValue();
        if (op == "Tf" && !m_operands.empty() && m_operands.front().isName()) {
            const auto font = m_fonts.find(m_operands.front().getName());
            m_font = font == m_fonts.end() ? nullptr : &font->second;
        } else if ((op == "Tj" || op == "'" || op == "\"") && !m_operands.empty()) {
            show(m_operands.back());
        } else if (op == "TJ" && !m_operands.empty() && m_operands.back().isArray()) {
            for (QPDFObjectHandle item : m_operands.back().getArrayAsVector())
                show(item);
        }
        m_operands.clear();
    }

    void handleEOF() override {}

    QString text;

private:
    void show(QPDFObjectHandle string)
    {
        if (!string.isString())
            return;
        const std::string bytes = string.getStringValue();
        const int width = m_font ? m_font->codeBytes : 1;
        for (size_t i = 0; i + width <= bytes.size(); i += width) {
            quint32 code = 0;
            for (int b = 0; b < width; ++b)
                code = (code << 8) | quint8(bytes[i + b]);
            if (m_font && m_font->characters.contains(code))
                text += m_font->characters.value(code);
            else
                text += QChar(0xFFFD);
        }
    }

    const std::map<std::string, CharacterMap>& m_fonts;
    const CharacterMap* m_font = nullptr;
    std::vector<QPDFObjectHandle> m_operands;
};

} // namespace

std::optional<PdfText> readPdfText(const QString& path)
{
    try {
        QPDF pdf;
        pdf.processFile(QFile::encodeName(path).constData());
        PdfText result;
        for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
            std::map<std::string, CharacterMap> fonts;
            QPDFObjectHandle resources = page.getAttribute("/Resources", false);
            QPDFObjectHandle fontDict = resources.isDictionary() ? resources.getKey("/Font") : QPDFObjectHandle();
            if (fontDict.isDictionary()) {
                for (auto [name, font] : fontDict.getDictAsMap()) {
                    QPDFObjectHandle toUnicode = font.isDictionary() ? font.getKey("/ToUnicode") : QPDFObjectHandle();
                    if (!toUnicode.isStream())
                        continue;
                    const auto data = toUnicode.getStreamData(qpdf_dl_generalized);
                    fonts[name] = parseToUnicode(QString::fromLatin1(reinterpret_cast<const char*>(data->getBuffer()),
                                                                     qsizetype(data->getSize())));
                }
            }
            ShownText shown(fonts);
            page.parseContents(&shown);
            result.pages << shown.text;
        }
        return result;
    } catch (const std::exception&) {
        return std::nullopt;
    }
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
