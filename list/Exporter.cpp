#include "list/Exporter.h"

#include "app/Platform.h"
#include "app/SurrogateEscape.h"

#include <QDateTime>
#include <QThread>

#include <algorithm>
#include <charconv>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace exporter {

namespace {

// The parts of an item's path, from its bytes: a name that is not UTF-8 keeps them (escaped).
struct PathParts {
    QString path, name, location, type;
};

PathParts partsOf(const FileItem& item)
{
    const QByteArray& bytes = item.nativePath();
    const FileItem::NativePathParts native = FileItem::nativePathParts(bytes);
    PathParts parts;
    parts.path = decodeSurrogateEscape(bytes);
    parts.name = decodeSurrogateEscape(native.name);
    parts.location = decodeSurrogateEscape(native.folder);
    parts.type = decodeSurrogateEscape(native.extension);
    return parts;
}

// Appends a field's bytes, quoted when they hold one of `special` (a quote is always special),
// inner quotes doubled. The special characters are ASCII, which UTF-8 never uses inside another
// character, so the bytes are looked at as they are.
void appendField(QByteArray& out, QByteArrayView value, QByteArrayView special)
{
    // Every special character is a control character or punctuation below 'A'.
    const auto isSpecial = [&](char c) {
        return static_cast<unsigned char>(c) < 'A' && (c == '"' || special.contains(c));
    };
    if (!std::any_of(value.begin(), value.end(), isSpecial)) {
        out += value;
        return;
    }
    out += '"';
    for (const char c : value) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

// Appends "yyyy-MM-dd" + `separator` + "HH:mm:ss" of `date` in UTC, as QDateTime::toString
// writes it. Worked out from the seconds since 1970 (days to the proleptic Gregorian calendar),
// because Qt's calendar formatting costs more than the rest of an exported line. False, with
// nothing appended, for a year outside 1-9999, which Qt writes in other ways: the caller leaves
// those to Qt.
bool appendUtcText(QByteArray& out, const QDateTime& date, char separator)
{
    const qint64 msecs = date.toMSecsSinceEpoch();
    const qint64 secs = msecs / 1000 - (msecs % 1000 < 0 ? 1 : 0);
    const qint64 days = secs / 86400 - (secs % 86400 < 0 ? 1 : 0);
    const qint64 ofDay = secs - days * 86400;
    // Days to year, month, day (H. Hinnant's civil_from_days), in 400-year eras.
    const qint64 z = days + 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const qint64 doe = z - era * 146097;
    const qint64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const qint64 mp = (5 * doy + 2) / 153;
    const int day = int(doy - (153 * mp + 2) / 5 + 1);
    const int month = int(mp < 10 ? mp + 3 : mp - 9);
    const qint64 year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    if (year < 1 || year > 9999)
        return false;
    char text[19];
    const auto put = [&text](int at, qint64 value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10)
            text[at + i] = char('0' + value % 10);
    };
    put(0, year, 4);
    text[4] = '-';
    put(5, month, 2);
    text[7] = '-';
    put(8, day, 2);
    text[10] = separator;
    put(11, ofDay / 3600, 2);
    text[13] = ':';
    put(14, ofDay / 60 % 60, 2);
    text[16] = ':';
    put(17, ofDay % 60, 2);
    out.append(text, sizeof text);
    return true;
}

void appendNumber(QByteArray& out, qint64 value)
{
    char text[24];
    const char* end = std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, end - text);
}

// Appends the size as FileItem::sizeText writes it; the usual "N KB" without making a QString.
void appendSizeText(QByteArray& out, qint64 bytes)
{
    if (const auto kilobytes = FileItem::wholeKilobytes(bytes)) {
        appendNumber(out, *kilobytes);
        out += " KB";
    } else {
        out += FileItem::sizeText(bytes).toUtf8();
    }
}

// Appends dateText's bytes.
void appendDateText(QByteArray& out, const std::optional<QDateTime>& date)
{
    if (!date || !date->isValid()) {
        out += "(null)";
        return;
    }
    if (!appendUtcText(out, *date, ' '))
        out += date->toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8();
    out += " +0000";
}

// Appends one TSV or CSV line, with its line end. Names and folders keep their bytes, as ls
// prints them (decoded and encoded again with SurrogateEscape, they would come out the same).
void appendDelimitedLine(QByteArray& out, const FileItem& item, char separator)
{
    // Spreadsheet programs read a quoted field as one cell, so a name holding a separator or a
    // line break no longer shifts the columns or splits the row.
    const QByteArrayView special = separator == '\t' ? QByteArrayView("\t\r\n") : QByteArrayView(",\r\n");
    const FileItem::NativePathParts parts = FileItem::nativePathParts(item.nativePath());
    const FileItem::Dates dates = item.dates();
    appendField(out, parts.name, special);
    out += separator;
    appendNumber(out, item.pages());
    out += separator;
    appendSizeText(out, item.size()); // digits, a point, a space and letters: never quoted
    out += separator;
    appendField(out, parts.extension, special);
    for (const auto* date : {&dates.modified, &dates.accessed, &dates.created}) {
        out += separator;
        appendDateText(out, *date);
    }
    out += separator;
    appendField(out, parts.folder, special);
    out += separator == '\t' ? QByteArrayView("\n") : QByteArrayView("\r\n");
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
    QByteArray text = "\"";
    if (appendUtcText(text, *date, 'T'))
        return text + "Z\"";
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
        const FileItem::Dates dates = item->dates();
        out += separator;
        out += "{\"name\": " + jsonString(parts.name) + ", \"path\": " + jsonString(parts.path) +
               ", \"pages\": " + QByteArray::number(item->pages()) +
               ", \"bytes\": " + QByteArray::number(item->size()) + ", \"type\": " + jsonString(parts.type) +
               ", \"modified\": " + jsonDate(dates.modified) + ", \"accessed\": " + jsonDate(dates.accessed) +
               ", \"created\": " + jsonDate(dates.created) +
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
    QByteArray text;
    appendDateText(text, date);
    return QString::fromUtf8(text);
}

QByteArray encode(const std::vector<FileItemPtr>& items, Format format)
{
    if (format == Format::Json)
        return json(items);
    const char separator = format == Format::Tsv ? '\t' : ',';
    QByteArray out = headerLine().toUtf8();
    if (format == Format::Csv)
        out.replace('\t', ',').replace("\n", "\r\n");
    // Each line waits on a statx for its dates: a long list is written in parts, one a thread,
    // joined in order, so that its export does not wait on one core.
    constexpr size_t kItemsPerPart = 1024;
    constexpr qsizetype kLineBytes = 160; // about what a line takes, so that a part grows in one step
    const size_t parts =
        std::clamp<size_t>(items.size() / kItemsPerPart, 1, size_t(std::max(1, QThread::idealThreadCount())));
    std::vector<QByteArray> texts(parts);
    std::vector<std::exception_ptr> failures(parts);
    const auto write = [&](size_t part) {
        try {
            const size_t begin = items.size() * part / parts, end = items.size() * (part + 1) / parts;
            texts[part].reserve(qsizetype(end - begin) * kLineBytes);
            for (size_t i = begin; i < end; ++i)
                appendDelimitedLine(texts[part], *items[i], separator);
        } catch (...) {
            failures[part] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(parts - 1);
    size_t part = 1;
    try {
        for (; part < parts; ++part)
            threads.emplace_back(write, part);
    } catch (const std::system_error&) {
        // No thread to spare: the parts left are written on this one.
    }
    write(0);
    for (; part < parts; ++part)
        write(part);
    for (std::thread& thread : threads)
        thread.join();
    for (const std::exception_ptr& failure : failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
    qsizetype size = out.size();
    for (const QByteArray& text : texts)
        size += text.size();
    out.reserve(size);
    for (const QByteArray& text : texts)
        out += text;
    return out;
}

QByteArray encode(const FileList& files, Format format)
{
    return encode(files.items(), format);
}

QString line(const FileItem& item)
{
    QByteArray out;
    appendDelimitedLine(out, item, '\t');
    return QString::fromUtf8(out);
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
