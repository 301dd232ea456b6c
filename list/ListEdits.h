#pragma once

#include <QtGlobal>

#include <vector>

class FileList;

// Edits of the file list by row numbers (positions in the list), as the list commands
// make them. Row lists may come in any order; duplicates and rows outside the list are
// ignored.
namespace listedits {

// Variant tags of the check-mark commands; any other tag changes no mark.
enum CheckMarkTag { CheckTag = 1, UncheckTag = 2, InvertTag = 3 };

// Moves each selected item one place up, topmost first: a run of adjacent rows moves as a
// block and the item above it passes to its other side. Returns the items' new rows,
// ascending. When row 0 is selected nothing moves and the rows come back unchanged.
std::vector<qsizetype> moveUp(FileList& files, std::vector<qsizetype> rows);

// Moves each selected item one place down, bottom-most first. When the last row is
// selected nothing moves and no rows are returned (the selection becomes empty).
std::vector<qsizetype> moveDown(FileList& files, std::vector<qsizetype> rows);

// Sets (tag 1), clears (tag 2) or inverts (tag 3) the check mark of the items at `rows`.
void setCheckMarks(FileList& files, std::vector<qsizetype> rows, int tag);

// The same over every item.
void setAllCheckMarks(FileList& files, int tag);

// `rows` sorted ascending, without duplicates or rows outside a list of `count` items.
std::vector<qsizetype> normalizedRows(std::vector<qsizetype> rows, qsizetype count);

} // namespace listedits
