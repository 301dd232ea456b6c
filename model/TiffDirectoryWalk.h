#pragma once

#include <QtGlobal>

#include <optional>

class CountingBudget;

namespace pagecount {

class FileReader;

// The number of directories (images) in a TIFF or BigTIFF file, found by following the
// directory chain from the header and reading nothing but each directory's entry count and
// next-directory offset. The answer is the one libtiff 4.5 gives when it opens the file
// reading the header alone and then calls TIFFNumberOfDirectories:
// - a file whose header libtiff refuses (byte order, version, BigTIFF offset size or
//   reserved field) counts 0;
// - the chain ends at a directory whose entry count or next offset lies past the end of the
//   file (that directory is not counted), or whose BigTIFF entry count is over 65535;
// - it ends after a directory whose next offset is 0, is an offset met before (a loop), or
//   would be the 1,048,577th directory (libtiff's bound).
// Neither the entries nor their values are read: libtiff reads them for none of this.
// Returns nullopt when it cannot be sure: the budget was passed (the caller reports it), or
// the file gave fewer bytes than its size promised. The budget is polled once a directory.
std::optional<quint32> walkTiffDirectories(FileReader& file, CountingBudget& budget);

} // namespace pagecount
