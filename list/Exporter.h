#pragma once

#include "model/FileList.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace exporter {

// The forms a list is written in. TSV is the export of the window (and the default of the
// command line); CSV is RFC 4180; JSON is an object with "files" and "totals".
//
// Names are bytes on Linux and need not be UTF-8. TSV and CSV write a name's (and a folder's)
// bytes as they are on disk, as ls and find print them, so every other line stays UTF-8 and a
// name that is not UTF-8 still matches its file. JSON, which must be UTF-8, writes each byte
// that is not part of valid UTF-8 as the string escape \udcXX (XX the byte in hex): Python's
// json.loads followed by .encode("utf-8", "surrogateescape") gives the bytes back.
enum class Format { Tsv, Csv, Json };

// The TSV header line, 71 bytes with its line feed.
QString headerLine();

// `items` in `format`, in their order (check marks and the selection play no part):
// - TSV: the header, then per item its name, pages, size text, type, modified, accessed and
//   created dates and folder, tab-separated, each line ending in a line feed. A field holding a
//   tab, carriage return, line feed or double quote is written in double quotes with inner
//   quotes doubled.
// - CSV: the same fields and header with commas, each line ending in CR LF; a field holding a
//   comma, double quote, CR or LF is quoted so.
// - JSON: {"files": [{"name", "path", "pages", "bytes" (size on disk), "type", "modified",
//   "accessed", "created" (ISO 8601 UTC, null when unknown), "locked"}, ...], "totals":
//   {"files", "tiffPages", "pdfPages"}}, one file a line.
QByteArray encode(const std::vector<FileItemPtr>& items, Format format = Format::Tsv);
QByteArray encode(const FileList& files, Format format = Format::Tsv);

// One item's TSV line and the whole TSV export as text: the bytes above read as UTF-8, so a
// byte of a name that is not UTF-8 reads as U+FFFD here.
QString line(const FileItem& item);
QString text(const FileList& files);

// A date as "2011-05-03 10:22:33 +0000" (UTC); "(null)" when absent.
QString dateText(const std::optional<QDateTime>& date);

// The proposed file name: "Export 05-Dec-2026 03-04-05 AM.txt" for `now` in the user's locale.
QString defaultFileName(const QDateTime& now);

// Writes encode(files) to `path` atomically. On failure returns false with the reason in
// `*errorString`, and any existing file at `path` is left untouched.
bool writeToFile(const FileList& files, const QString& path, QString* errorString = nullptr);

} // namespace exporter
