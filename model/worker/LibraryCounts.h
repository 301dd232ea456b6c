#pragma once

// The page counts of libtiff and qpdf on an open file. They run in folimeter-worker, never in the
// program: a crash, a runaway loop or a memory blow-up in either library must not take the
// window down. The tests and fuzz checks call them directly, as the reference the program's own
// readers are held to. Both read the file with pread alone (the descriptor's offset is shared
// with whoever passed it) and print nothing.

#include <cstdint>
#include <string>

namespace librarycount {

// The number of images libtiff 4.5 reads in the TIFF or BigTIFF file: the directories of its
// main chain from the first for which TIFFReadDirectory succeeds (TIFFClientOpen reads the
// first), up to the first it refuses: what tiffinfo lists and viewers page through. 0 when
// libtiff does not open the file.
std::uint64_t tiffPageCount(int fd);

struct PdfCount {
    std::uint64_t pages = 0;
    bool passwordProtected = false; // encrypted, and `password` does not open it
};

// The number of pages qpdf's getAllPages() finds in the PDF opened with `password`; 0 when qpdf
// cannot read it. May throw std::bad_alloc when memory runs out.
PdfCount pdfPageCount(int fd, const std::string& password);

} // namespace librarycount
