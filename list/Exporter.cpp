#include "list/Exporter.h"

#include "app/Platform.h"
#include "app/SurrogateEscape.h"

#include <QDateTime>

namespace exporter {

namespace {

// The parts of an item's path, from its bytes: a name that is not UTF-8 keeps them (escaped).
struct PathParts {
    QString path, name, location, type;
};

PathParts partsOf(const FileItem& item)
{
    const QByteArray& bytes = item.nativePath();
    const qsizetype slash = bytes.lastIndexOf('/');
    const qsizetype dot = bytes.lastIndexOf('.');
    PathParts parts;
    parts.path = decodeSurrogateEscape(bytes);
    parts.name = decodeSurrogateEscape(QByteArrayView(bytes).sliced(slash + 1));
    parts.location = bytes.isEmpty() ? QString()
                     : slash <= 0    ? QStringLiteral("/")
                                     : decodeSurrogateEscape(QByteArrayView(bytes).first(slash));
    parts.type = dot > slash ? decodeSurrogateEscape(QByteArrayView(bytes).sliced(dot + 1)) : QString();
    return parts;
}

// A field as written, quoted when it holds one of `special` (a quote is always special).
QString field(const QString& value, QStringView special)
{
    if (!std::any_of(value.begin(), value.end(), [&](QChar c) { return c == u'"' || special.contains(c); }))
        return value;
    QString quoted = value;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// One TSV or CSV line, with its line end.
QString delimitedLine(const FileItem& item, QChar separator)
{
    // Spreadsheet programs read a quoted field as one cell, so a name holding a separator or a
    // line break no longer shifts the columns or splits the row.
    const QString special = separator == u'\t' ? QStringLiteral("\t\r\n") : QStringLiteral(",\r\n");
    const PathParts parts = partsOf(item);
    const QStringList fields = {field(parts.name, special),      QString::number(item.pages()),
                                field(item.sizeInKB(), special), field(parts.type, special),
                                dateText(item.dateModified()),   dateText(item.dateAccessed()),
                                dateText(item.dateCreated()),    field(parts.location, special)};
    return fields.join(separator) + (separator == u'\t' ? QStringLiteral("\n") : QStringLiteral("\r\n"));
}

// A JSON string: quotes, backslashes and control characters escaped, a byte that is not UTF-8
// as \udcXX, everything else as UTF-8.
QByteArray jsonString(const QString& text)
{
    QByteArray out = "\"";
    qsizetype run = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c >= 0x20 && c != u'"' && c != u'\\' && !isEscapedByte(text, i))
            continue;
        out += QStringView(text).sliced(run, i - run).toUtf8();
        run = i + 1;
        if (c == u'"' || c == u'\\')
            out += '\\' + QByteArray(1, char(c));
        else
            out += "\\u" + QByteArray::number(c, 16).rightJustified(4, '0');
    }
    return out + QStringView(text).sliced(run).toUtf8() + '"';
}

QByteArray jsonDate(const std::optional<QDateTime>& date)
{
    if (!date || !date->isValid())
        return "null";
    return '"' + date->toUTC().toString(Qt::ISODate).toUtf8() + '"';
}

QByteArray json(const std::vector<FileItemPtr>& items)
{
    QByteArray out = "{\"files\": [";
    qint64 tiffPages = 0;
    qint64 pdfPages = 0;
    const char* separator = "\n";
    for (const FileItemPtr& item : items) {
        const PathParts parts = partsOf(*item);
        out += separator;
        out += "{\"name\": " + jsonString(parts.name) + ", \"path\": " + jsonString(parts.path) +
               ", \"pages\": " + QByteArray::number(item->pages()) +
               ", \"bytes\": " + QByteArray::number(item->size()) + ", \"type\": " + jsonString(parts.type) +
               ", \"modified\": " + jsonDate(item->dateModified()) +
               ", \"accessed\": " + jsonDate(item->dateAccessed()) + ", \"created\": " + jsonDate(item->dateCreated()) +
               ", \"locked\": " + (item->isPasswordProtected() ? "true" : "false") + "}";
        separator = ",\n";
        if (FileList::classify(*item) == FileList::PageClass::Tiff)
            tiffPages += item->pages();
        else if (FileList::classify(*item) == FileList::PageClass::Pdf)
            pdfPages += item->pages();
    }
    return out + "\n], \"totals\": {\"files\": " + QByteArray::number(qint64(items.size())) +
           ", \"tiffPages\": " + QByteArray::number(tiffPages) + ", \"pdfPages\": " + QByteArray::number(pdfPages) +
           "}}\n";
}

} // namespace

QString headerLine()
{
    return QStringLiteral("Name\tPages\tSize\tType\tModified Date\tAccessed Date\tCreated Date\tLocation\n");
}

QString dateText(const std::optional<QDateTime>& date)
{
    if (!date || !date->isValid())
        return QStringLiteral("(null)");
    return date->toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QLatin1String(" +0000");
}

QByteArray encode(const std::vector<FileItemPtr>& items, Format format)
{
    if (format == Format::Json)
        return json(items);
    const QChar separator = format == Format::Tsv ? u'\t' : u',';
    QString out = headerLine();
    if (format == Format::Csv) {
        out.replace(u'\t', u',');
        out.replace(QLatin1String("\n"), QLatin1String("\r\n"));
    }
    for (const FileItemPtr& item : items)
        out += delimitedLine(*item, separator);
    return encodeSurrogateEscape(out);
}

QByteArray encode(const FileList& files, Format format)
{
    return encode(files.items(), format);
}

QString line(const FileItem& item)
{
    return QString::fromUtf8(encodeSurrogateEscape(delimitedLine(item, u'\t')));
}

QString text(const FileList& files)
{
    return QString::fromUtf8(encode(files));
}

QString defaultFileName(const QDateTime& now)
{
    return QStringLiteral("Export %1.txt").arg(platform::formatDate(now, QStringLiteral("dd-MMM-yyyy hh-mm-ss a")));
}

bool writeToFile(const FileList& files, const QString& path, QString* errorString)
{
    return platform::writeFileAtomically(path, encode(files), errorString);
}

} // namespace exporter
