#pragma once

#include "model/FileList.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace exporter {

// The header line, 71 bytes with its line feed.
QString headerLine();

// One item's line: name, pages, size text, type, modified, accessed and created dates,
// folder; tab-separated, ending in a line feed. A field holding a tab, carriage return,
// line feed or double quote is written in double quotes with inner quotes doubled.
QString line(const FileItem& item);

// The whole export: header, then one line per item in list order (check marks and the
// selection play no part).
QString text(const FileList& files);

// A date as "2011-05-03 10:22:33 +0000" (UTC); "(null)" when absent.
QString dateText(const std::optional<QDateTime>& date);

// The proposed file name: "Export 05-Dec-2026 03-04-05 AM.txt" for `now` in the user's locale.
QString defaultFileName(const QDateTime& now);

// Writes text(files) to `path` atomically as UTF-8. On failure returns false with the reason
// in `*errorString`, and any existing file at `path` is left untouched.
bool writeToFile(const FileList& files, const QString& path, QString* errorString = nullptr);

} // namespace exporter
