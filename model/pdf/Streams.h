#pragma once

// Stream data: the filter a stream's dictionary names, and its bytes decoded. Only Flate, with
// or without a PNG predictor of one byte per pixel, is understood; anything else, and any
// stream that qpdf might decode differently (damaged, truncated, not followed by "endstream"),
// makes the reader leave the file to qpdf.

#include "model/pdf/FileBytes.h"
#include "model/pdf/Syntax.h"

#include <QtGlobal>

#include <cstddef>
#include <vector>

namespace pdftree {

class Encryption;

// Past this all decoded streams of one file together are left to qpdf.
constexpr size_t kMaxDecodedBytes = 64 * 1024 * 1024;

// A stream's filter and its parameters, as far as they are understood.
struct StreamFormat {
    bool flate = false;
    int predictor = 1;
    quint64 columns = 1;
};

// Reads the format of a stream from its dictionary at node `dict`; false when it is not understood.
bool readStreamFormat(const Parsed& p, quint32 dict, StreamFormat& format);

// Moves the parser past the "stream" keyword and its end of line; Bad when the keyword is not there.
Parse streamKeyword(Parser& p, const Span& s);

// Decodes the streams of one file into buffers kept from count to count.
class Streams {
public:
    // `buffers`: decoding buffers kept from count to count; their contents are replaced, and
    // charged to the meter of `bytes` as they grow.
    Streams(FileBytes& bytes, std::vector<std::vector<char>>& buffers);

    // The decoded data of a stream whose `length` bytes start at `offset`, checked to end in
    // "endstream"; kept in the next decoding buffer, which `out` then points to. With
    // `decryption`, the data is first decrypted as that of stream object `number`.
    bool read(quint64 offset, quint64 length, const StreamFormat& format, std::vector<char>*& out,
              Encryption* decryption = nullptr, quint32 number = 0);

    // The index of the buffer of the last read, for bufferAt().
    size_t lastBuffer() const { return m_used - 1; }
    std::vector<char>& bufferAt(size_t i) { return m_buffers[i]; }

private:
    FileBytes& m_bytes;
    Meter& m_meter;
    std::vector<std::vector<char>>& m_buffers;
    size_t m_used = 0;
    size_t m_decodedTotal = 0;
};

} // namespace pdftree
