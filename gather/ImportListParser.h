#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QUrl>

// Turns a textual list of paths (one per line) into the file URLs of the paths whose
// extension is accepted. Shared by the import-list dialog and the command line.
//
// The rules, line by line:
// - Lines end at each line feed. A carriage return right before a line feed, or at the very
//   end of the text, belongs to the line end (lists saved with CR LF line ends); any other
//   carriage return is part of the path. Nothing is trimmed: a comma or a blank is part of
//   the path.
// - The extension is the part after the last "." of the last path component (trailing "/"
//   ignored), empty when there is none. A line is accepted when its extension, upper-cased,
//   is one of `allowedTypes` (compared exactly; empty entries never match). Whether the path
//   exists, or is a folder, is not looked at.
// - A path not beginning with "/" is taken relative to the current folder at the time of
//   the call ("~" included). A run of "/" at the start counts as one (they name the same
//   file, and a file URL would read "//name" as a host: localpath::fileUrl); no other change
//   is made ("." and ".." stay as written).
// - A URL already present (equal URL text) is not added again: the first appearance keeps
//   its place.

// The accepted entries of a list taken line by line, so that a list of any length is read
// without holding its text: the files in order of first appearance, each once.
class ImportList {
public:
    // Relative paths are taken against the current folder at the time of construction.
    explicit ImportList(const QStringList& allowedTypes, const QList<QUrl>& present = {});

    // Takes one line, without its line feed (a carriage return at its end belongs to the line end).
    void appendLine(QStringView line);
    // Adds `url` unless it is present.
    void appendUrl(const QUrl& url);

    const QList<QUrl>& files() const { return m_files; }

private:
    QSet<QString> m_accepted;
    QByteArray m_base;
    QSet<QUrl> m_present;
    QList<QUrl> m_files;
};

// The accepted entries of `text`, in order of first appearance, as absolute file URLs.
QList<QUrl> parseImportList(const QString& text, const QStringList& allowedTypes);

// Appends the accepted entries of `text` to `files`, skipping URLs `files` already holds.
// Entries are appended one by one, so whatever was added stays if an exception escapes.
void appendImportList(const QString& text, const QStringList& allowedTypes, QList<QUrl>& files);

// The accepted entries of the UTF-8 text file at `path`; empty when the file cannot be read
// or is not valid UTF-8.
QList<QUrl> parseImportListFile(const QString& path, const QStringList& allowedTypes);

// The extension of `path` as the rules above define it (exposed for tests).
QString importListPathExtension(const QString& path);
