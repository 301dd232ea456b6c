#pragma once

// The few platform services the rest of the program relies on, on Qt and POSIX:
// the system log, user defaults, whole-file text reading and atomic writing,
// resource values of a file and date formatting.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

namespace platform {

// ---- System log ----

// Writes one line to standard error (a line feed is added). Safe from any thread.
void systemLog(const QString& line);

// Writes "Error in <operation> : <reason>". `operation` is given as the log shows it,
// parentheses included where they belong, e.g. "(loadURLs:)".
void logError(const QString& operation, const QString& reason);

// Redirects the log (tests). An empty function restores standard error.
using LogSink = std::function<void(const QString&)>;
void setLogSink(LogSink sink);

// ---- User defaults ----

// The stored Boolean for `key`; false when absent.
bool userDefaultBool(const QString& key);
// Stores `value` for `key` and writes the settings to disk at once.
void setUserDefaultBool(const QString& key, bool value);
// The stored bytes for `key` (a window's geometry, a header's state); empty when absent.
QByteArray userDefaultBytes(const QString& key);
void setUserDefaultBytes(const QString& key, const QByteArray& value);

// ---- Text files ----

// The whole file decoded as UTF-8; none when it cannot be read or is not valid UTF-8.
std::optional<QString> readTextFileUtf8(const QString& path);

// Writes `bytes` to `path` in one atomic step: the path holds either its old content or all
// of the new. On failure returns false, sets `*errorString` (when given) to the reason and
// leaves any existing file untouched.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* errorString = nullptr);

// The same with `text` as UTF-8 (no byte-order mark).
bool writeTextFileAtomically(const QString& path, const QString& text, QString* errorString = nullptr);

// ---- Resource values ----

struct ResourceValues {
    bool isDirectory = false;
    qint64 fileSize = 0;
    qint64 allocatedSize = 0;              // blocks in use × 512
    std::optional<QDateTime> creationDate; // absent where the file system keeps no birth time
    std::optional<QDateTime> contentModificationDate;
    std::optional<QDateTime> contentAccessDate;
};

// Resource values of the file at `nativePath` (symbolic links followed); none when the
// file cannot be examined.
std::optional<ResourceValues> resourceValues(const QByteArray& nativePath);

// Allocated size alone (blocks in use × 512), symbolic links followed; none when the file
// cannot be examined. Cheaper than resourceValues: no dates are made.
std::optional<qint64> allocatedSize(const QByteArray& nativePath);

enum class DateKey { ContentModification, Creation, ContentAccess };

// One date of the file at `nativePath`; none when unavailable.
std::optional<QDateTime> resourceDate(const QByteArray& nativePath, DateKey key);

// ---- Dates ----

// Formats `date` in the user's locale and time zone with a pattern written in Unicode
// date-pattern letters ("dd-MMM-yyyy h:mm a"): "a" is the AM/PM marker, the rest as Qt reads it.
QString formatDate(const QDateTime& date, const QString& pattern);

} // namespace platform
