#pragma once

// The properties every fuzz target asserts, one function per target. Each takes the raw
// input, runs the code under test on it and returns what went wrong, or nothing when every
// property held. The fuzz targets abort on a returned failure; the regression tests replay
// saved inputs through the same functions.

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fuzzcheck {

using Failure = std::optional<std::string>;

// TIFF image count of the bytes as a file: never negative, the same through the
// name-independent entry point (a name without ".pdf" is only ever read as a TIFF), and
// libtiff's count, as is the directory walk's wherever it answers.
Failure tiffCount(const std::uint8_t* data, std::size_t size);

// PDF page count of the bytes as a file: never negative, never an escaping exception.
Failure pdfCount(const std::uint8_t* data, std::size_t size);

// The PDF page-tree reader on the bytes as a file: never an escaping exception, and whenever it
// answers from the file's own cross-reference data and qpdf can walk the page tree of the same
// bytes, the two counts agree.
Failure pdfTree(const std::uint8_t* data, std::size_t size);

// Import list: the bytes as UTF-8 text, parsed directly and through a file. Every URL is
// an absolute local file with an accepted extension, found among the lines, listed once.
Failure importList(const std::uint8_t* data, std::size_t size);

// Export text of items built from the bytes: records separated by NUL bytes, each
// "pages\x01size\x01path" (numbers in decimal, 0 when they do not read; a record with fewer
// than two \x01 is all path; "/" put in front of a path without one), at most 512. The text
// holds one record per item after the header, eight fields each, and every field reads back to
// the item's value.
Failure exportText(const std::uint8_t* data, std::size_t size);

// Export text split into records of fields. A field starting with a double quote runs to the
// next lone double quote, doubled quotes read as one; any other field runs to the next tab or
// line feed and holds neither a double quote nor a carriage return. Every record ends in a line
// feed. Nothing when the text breaks these rules.
std::optional<std::vector<QStringList>> readExportRecords(const QString& text);

} // namespace fuzzcheck
