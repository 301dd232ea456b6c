#include "model/pdf/Streams.h"

#include "model/pdf/Encryption.h"

#include <QScopeGuard>

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace pdftree {

namespace {

// zlib's state and window (allocated by zlib with malloc), charged as one amount.
constexpr size_t kInflateStateBytes = 48 * 1024;
// Bytes handed to inflate at once, in and out, so that its work is reported every so often.
constexpr size_t kInflateChunk = 64 * 1024;

// zlib's state, ended on every way out.
class Inflater {
public:
    explicit Inflater(Meter& meter) : m_meter(meter)
    {
        m_meter.charge(kInflateStateBytes);
        m_ok = inflateInit(&z) == Z_OK;
    }
    ~Inflater()
    {
        if (m_ok)
            inflateEnd(&z);
        m_meter.discharge(kInflateStateBytes);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool ok() const { return m_ok; }
    z_stream z{};

private:
    Meter& m_meter;
    bool m_ok = false;
};

// Inflates `size` bytes into `out` and undoes a PNG predictor; false on anything qpdf might read
// differently (a damaged or truncated stream, other predictors). The output grows as it is
// produced, from a start the input bounds, and is charged as it grows.
bool decodeStream(const char* data, size_t size, const StreamFormat& format, std::vector<char>& out,
                  size_t& decodedTotal, Meter& meter)
{
    if (!format.flate) {
        if (format.predictor != 1 || decodedTotal + size > kMaxDecodedBytes)
            return false;
        meter.charge(size);
        out.assign(data, data + size);
        meter.work(size / 16);
        decodedTotal += size;
        return true;
    }
    Inflater inflater(meter);
    if (!inflater.ok())
        return false;
    z_stream& z = inflater.z;
    const size_t start = std::clamp<size_t>(size * 2, 4096, kInflateChunk);
    meter.charge(start);
    out.resize(start);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    size_t produced = 0;
    int status = Z_OK;
    while (status == Z_OK) {
        if (produced == out.size()) {
            if (out.size() * 2 + decodedTotal > kMaxDecodedBytes)
                return false;
            meter.charge(out.size());
            out.resize(out.size() * 2);
        }
        const size_t consumed = size_t(z.next_in - reinterpret_cast<const Bytef*>(data));
        z.avail_in = uInt(std::min(size - consumed, kInflateChunk));
        z.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        z.avail_out = uInt(std::min(out.size() - produced, kInflateChunk));
        status = inflate(&z, Z_NO_FLUSH);
        const size_t now = size_t(reinterpret_cast<char*>(z.next_out) - out.data());
        meter.work(size_t(z.next_in - reinterpret_cast<const Bytef*>(data)) - consumed + now - produced);
        produced = now;
        // This round's share of the room or of the input ran out, not the data: go on.
        if (status == Z_BUF_ERROR &&
            (z.avail_out == 0 || size_t(z.next_in - reinterpret_cast<const Bytef*>(data)) < size))
            status = Z_OK;
    }
    if (status != Z_STREAM_END)
        return false;
    out.resize(produced);
    decodedTotal += produced;
    if (decodedTotal > kMaxDecodedBytes)
        return false;
    if (format.predictor == 1)
        return true;
    // PNG predictors, one byte per pixel: each row is a filter type byte and `columns` bytes.
    const size_t columns = size_t(format.columns);
    const size_t stride = columns + 1;
    if (produced % stride != 0)
        return false;
    const size_t rows = produced / stride;
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    const unsigned char* previous = nullptr;
    for (size_t r = 0; r < rows; ++r) {
        if (r % 256 == 0)
            meter.work(256 * stride);
        const unsigned char filter = bytes[r * stride];
        const unsigned char* in = bytes + r * stride + 1;
        unsigned char* row = bytes + r * columns; // written over the bytes already read
        for (size_t i = 0; i < columns; ++i) {
            const unsigned left = i ? row[i - 1] : 0;
            const unsigned up = previous ? previous[i] : 0;
            const unsigned upLeft = previous && i ? previous[i - 1] : 0;
            unsigned add = 0;
            switch (filter) {
            case 0:
                break;
            case 1:
                add = left;
                break;
            case 2:
                add = up;
                break;
            case 3:
                add = (left + up) / 2;
                break;
            case 4: {
                const int p = int(left + up) - int(upLeft);
                const int pa = std::abs(p - int(left));
                const int pb = std::abs(p - int(up));
                const int pc = std::abs(p - int(upLeft));
                add = (pa <= pb && pa <= pc) ? left : (pb <= pc ? up : upLeft);
                break;
            }
            default:
                return false;
            }
            row[i] = static_cast<unsigned char>(in[i] + add);
        }
        previous = row;
    }
    out.resize(rows * columns);
    return true;
}

} // namespace

bool readStreamFormat(const Parsed& p, quint32 dict, StreamFormat& format)
{
    bool ok = true;
    const quint32 filter = p.find(dict, "Filter", ok);
    if (filter && p.at(filter).type != Type::Null) {
        quint32 nameAt = filter;
        if (p.at(filter).type == Type::Array) {
            if (p.at(filter).end == filter + 1) {
                nameAt = 0; // an empty list: no filter
            } else {
                if (p.at(filter).end != filter + 2)
                    return false;
                nameAt = filter + 1;
            }
        }
        if (nameAt) {
            if (!p.isName(nameAt, "FlateDecode"))
                return false;
            format.flate = true;
        }
    }
    quint32 parms = p.find(dict, "DecodeParms", ok);
    if (parms && p.at(parms).type == Type::Array) {
        if (p.at(parms).end != parms + 2 && p.at(parms).end != parms + 1)
            return false;
        parms = p.at(parms).end == parms + 2 ? parms + 1 : 0;
    }
    if (format.flate && parms && p.at(parms).type == Type::Dict) {
        const auto intValue = [&](std::string_view key, qint64 fallback, qint64& out) {
            const quint32 v = p.find(parms, key, ok);
            if (!v) {
                out = fallback;
                return true;
            }
            if (p.at(v).type != Type::Int || p.at(v).value < 0)
                return false;
            out = p.at(v).value;
            return true;
        };
        qint64 predictor = 1, columns = 1, colors = 1, bits = 8;
        if (!intValue("Predictor", 1, predictor) || !intValue("Columns", 1, columns) ||
            !intValue("Colors", 1, colors) || !intValue("BitsPerComponent", 8, bits))
            return false;
        if (predictor >= 10 && predictor <= 15) {
            if (colors != 1 || bits != 8 || columns < 1 || columns > 1 << 20)
                return false;
            format.predictor = 10;
            format.columns = quint64(columns);
        } else if (predictor != 1) {
            return false;
        }
    } else if (format.flate && parms && p.at(parms).type != Type::Null) {
        return false;
    }
    return ok;
}

Parse streamKeyword(Parser& p, const Span& s)
{
    std::string_view w;
    if (const Parse r = p.word(w); r != Parse::Ok)
        return r;
    if (w != "stream")
        return Parse::Bad;
    if (p.pos + 2 > s.size)
        return Parse::Short;
    if (s.data[p.pos] == '\n') {
        p.pos += 1;
    } else if (s.data[p.pos] == '\r' && s.data[p.pos + 1] == '\n') {
        p.pos += 2;
    } else {
        return Parse::Bad;
    }
    return Parse::Ok;
}

Streams::Streams(FileBytes& bytes, std::vector<std::vector<char>>& buffers)
    : m_bytes(bytes), m_meter(bytes.meter()), m_buffers(buffers)
{
}

bool Streams::read(quint64 offset, quint64 length, const StreamFormat& format, std::vector<char>*& out,
                   Encryption* decryption, quint32 number)
{
    if (length > kMaxObjectBytes || offset + length > m_bytes.size())
        return false;
    const Span s = m_bytes.span(offset, size_t(length) + 64);
    if (s.size < length)
        return false;
    {
        Parser p(s.data, s.size, s.atEnd, nullptr, m_meter);
        p.moveTo(size_t(length));
        std::string_view w;
        if (p.word(w) != Parse::Ok || w != "endstream")
            return false;
    }
    m_meter.charge(sizeof(std::vector<char>));
    if (m_used == m_buffers.size())
        m_buffers.emplace_back();
    out = &m_buffers[m_used++];
    if (!decryption)
        return decodeStream(s.data, size_t(length), format, *out, m_decodedTotal, m_meter);
    // The plain bytes are held while they are decoded.
    m_meter.charge(size_t(length));
    const auto discharge = qScopeGuard([&] { m_meter.discharge(size_t(length)); });
    m_meter.work(size_t(length));
    const std::optional<QByteArray> plain = decryption->decrypt(number, QByteArrayView(s.data, qsizetype(length)));
    return plain && decodeStream(plain->constData(), size_t(plain->size()), format, *out, m_decodedTotal, m_meter);
}

} // namespace pdftree
