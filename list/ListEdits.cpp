#include "list/ListEdits.h"

#include "model/FileList.h"

#include <algorithm>

namespace listedits {

std::vector<qsizetype> normalizedRows(std::vector<qsizetype> rows, qsizetype count)
{
    std::erase_if(rows, [count](qsizetype row) { return row < 0 || row >= count; });
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

std::vector<qsizetype> moveUp(FileList& files, std::vector<qsizetype> rows)
{
    rows = normalizedRows(std::move(rows), files.size());
    if (rows.empty() || rows.front() == 0)
        return rows;
    // Moving the item at i to i - 1 touches only those two places, so every selected item
    // further down is still at its row when its turn comes.
    std::vector<qsizetype> moved;
    moved.reserve(rows.size());
    for (const qsizetype i : rows) {
        files.move(i - 1, i);
        moved.push_back(i - 1);
    }
    return moved;
}

std::vector<qsizetype> moveDown(FileList& files, std::vector<qsizetype> rows)
{
    rows = normalizedRows(std::move(rows), files.size());
    std::vector<qsizetype> moved;
    if (rows.empty() || rows.back() == files.size() - 1)
        return moved;
    moved.reserve(rows.size());
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        files.move(*it + 1, *it);
        moved.push_back(*it + 1);
    }
    std::reverse(moved.begin(), moved.end());
    return moved;
}

namespace {

void mark(FileItem& item, int tag)
{
    switch (tag) {
    case CheckTag:
        item.setIsSelected(true);
        break;
    case UncheckTag:
        item.setIsSelected(false);
        break;
    case InvertTag:
        item.setIsSelected(!item.isSelected());
        break;
    default:
        break;
    }
}

} // namespace

void setCheckMarks(FileList& files, std::vector<qsizetype> rows, int tag)
{
    for (const qsizetype row : normalizedRows(std::move(rows), files.size()))
        mark(*files.at(row), tag);
}

void setAllCheckMarks(FileList& files, int tag)
{
    for (const FileItemPtr& item : files)
        mark(*item, tag);
}

} // namespace listedits
