#pragma once

#include <QtGlobal>

#include <optional>

class CountingBudget;

namespace pagecount {

class FileReader;

// The number of images in a TIFF or BigTIFF file as libtiff 4.5 reads them: the directories of
// the main chain, from the first, for which TIFFReadDirectory succeeds, up to the first one it
// refuses (what tiffinfo lists and viewers page through; see librarycount::tiffPageCount).
// The walk reads each directory's entries and the few values that decide, and follows
// TIFFReadDirectory's checks:
// - a header libtiff refuses (byte order, version, BigTIFF offset size or reserved field)
//   counts 0;
// - the chain ends at offset 0, at an offset met before (a loop), at the 1,048,577th
//   directory, and at a directory libtiff cannot read: no entries, more than 4096, entries past
//   the end of the file (a next-directory offset past the end only ends the chain after it);
// - and at a directory that is not an image: neither ImageWidth nor ImageLength; a
//   SamplesPerPixel, Compression, ImageWidth, ImageLength, ImageDepth, Tile*, PlanarConfig,
//   RowsPerStrip, ExtraSamples, BitsPerSample, Min/MaxSampleValue, SampleFormat or DataType
//   entry of the wrong count or type or out of range (SamplesPerPixel, RowsPerStrip or
//   TileDepth 0, PlanarConfig not 1 or 2, per-sample values that differ, ...); no strips or
//   tiles; no StripOffsets or TileOffsets; offsets or byte counts of the wrong type or past the
//   end of the file; several strips without StripByteCounts; a palette image of fewer than
//   8 bits without a ColorMap libtiff takes; a width, length, bit depth or YCbCr subsampling
//   that makes a row, strip or tile of no bytes.
// Returns nullopt where it cannot be sure, for libtiff to answer: encodings it does not read
// (signed or 8-byte values where a classic file has no room for them, long per-sample arrays,
// SMin/SMaxSampleValue), old-style JPEG, a tile size given in one dimension only, byte counts
// libtiff would estimate for compressed data, sizes near the 64-bit limits, more than 4
// million strips; also once the budget is passed (the caller reports it) or when the file gives
// fewer bytes than its size promised. Polls the budget once a directory; reads at most a few
// directories' worth of bytes at a time.
std::optional<quint32> walkTiffDirectories(FileReader& file, CountingBudget& budget);

} // namespace pagecount
