#pragma once

#include "list/SortDescriptor.h"

#include <QLocale>

class FileList;

// Sorting the file list itself by sort descriptors.
//
// Keys are FileItem property names, matched without regard to letter case: "isSelected"
// (unchecked before checked), "pages" and "size" (as numbers), "dateModified", "dateCreated"
// and "dateAccessed" (as dates, an absent date before every date), "name", "type" and
// "location" (as texts in `locale`: letter case ignored, runs of digits ordered by their
// value). An unknown key orders nothing. The sort is stable.
namespace filesorting {

// Reorders `files` by `descriptors`. Each item's dates are read from the file system once
// per sort. With no descriptors the order is left as it is.
void sortFiles(FileList& files, const SortDescriptors& descriptors, const QLocale& locale = QLocale());

// True for the keys sortFiles knows.
bool isSortKey(const QString& key);

// The sort order after a click on the header of the column sorted by `key`: that key
// becomes the primary one (reversed when it already was; new keys start ascending), and
// the other keys follow in their earlier order as tie-breakers.
SortDescriptors sortDescriptorsAfterClick(const SortDescriptors& current, const QString& key);

} // namespace filesorting
