#pragma once

#include <QByteArray>
#include <QUrl>

// Paths that the user names (command-line arguments, dropped and forwarded names, lines of a
// list), in their file-system bytes, and the file URLs made of them. Every place that makes a
// URL from such a path goes through localpath::fileUrl.
namespace localpath {

// The current folder's path in its bytes (a name that is not UTF-8 kept as it is).
QByteArray currentFolder();

// `path` made absolute against `base` (joined as written: "." and ".." stay), with a run of "/"
// at its start made one. "//Scans" names the same file as "/Scans"; as a file URL it would make
// "Scans" a host name, lower-cased, and name another file.
QByteArray absolute(const QByteArray& path, const QByteArray& base);

// The file URL of absolute(path, base); an empty URL for an empty path. A name that is not
// UTF-8 keeps its bytes in the URL (FileItem::fileUrl), so the file is still found.
QUrl fileUrl(const QByteArray& path, const QByteArray& base);
QUrl fileUrl(const QByteArray& path);

} // namespace localpath
