#include "model/PdfPageTree.h"

#include "model/CountingBudget.h"
#include "model/FileReader.h"
#include "model/PdfSecurity.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

namespace pdftree {

namespace {

// A file up to this size is read with one pread; a larger one through windows of its bytes.
constexpr quint64 kWholeFileBytes = 1024 * 1024;
constexpr size_t kWindowBytes = 16 * 1024;
constexpr size_t kWindowCount = 8;
// Past these the file is left to qpdf: no real file comes near them.
constexpr size_t kMaxObjectBytes = 16 * 1024 * 1024;  // one object or stream in the file
constexpr size_t kMaxDecodedBytes = 64 * 1024 * 1024; // all decoded streams of one file
constexpr int kMaxNesting = 64;                       // arrays and dictionaries within one object
constexpr quint32 kMaxTreeDepth = 256;                // qpdf walks the tree recursively
constexpr quint32 kMaxObjectNumber = 8 * 1024 * 1024;
constexpr size_t kMaxSections = 256;
// qpdf looks for "startxref" this far from the end.
constexpr quint64 kStartxrefWindow = 1054;

// White space between tokens, as qpdf's tokenizer has it (with vertical tab and NUL).
bool isSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\v' || c == '\0';
}

// White space where qpdf looks for "xref" (no NUL).
bool isXrefSpace(char c)
{
    return c != '\0' && isSpace(c);
}

bool isDelimiter(char c)
{
    switch (c) {
    case '(':
    case ')':
    case '<':
    case '>':
    case '[':
    case ']':
    case '{':
    case '}':
    case '/':
    case '%':
        return true;
    default:
        return false;
    }
}

bool isRegular(char c)
{
    return !isSpace(c) && !isDelimiter(c);
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// One parsed value. Arrays and dictionaries are followed by their contents (a dictionary's
// as key, value, key, value...); `end` is the index past a value and everything inside it.
enum class Type : quint8 { Null, Bool, Int, Real, Name, String, HexString, Array, Dict, Ref };

struct Node {
    Type type;
    quint32 end;
    qint64 value;  // Int: the value; Ref: the object number; Name, String: offset of the bytes
    quint32 extra; // Ref: the generation; Name, String: length of the bytes
};

enum class Parse { Ok, Short, Bad }; // Short: the bytes ran out before the syntax ended

// Parses PDF syntax out of a byte range into nodes. Accepts only well-formed syntax: where qpdf
// would warn and repair, this says Bad and the file goes to qpdf.
class Parser {
public:
    // `atEnd`: the range ends where the data does, so a token ending there is complete.
    Parser(const char* data, size_t size, bool atEnd, std::vector<Node>& nodes)
        : m_data(data), m_size(size), m_atEnd(atEnd), m_nodes(nodes)
    {
    }

    size_t pos = 0;

    Parse skipSpace()
    {
        while (pos < m_size) {
            const char c = m_data[pos];
            if (isSpace(c)) {
                ++pos;
            } else if (c == '%') {
                while (pos < m_size && m_data[pos] != '\r' && m_data[pos] != '\n')
                    ++pos;
            } else {
                return Parse::Ok;
            }
        }
        return Parse::Short;
    }

    // A run of regular characters at the position (after white space).
    Parse word(std::string_view& out)
    {
        if (const Parse p = skipSpace(); p != Parse::Ok)
            return p;
        const size_t start = pos;
        while (pos < m_size && isRegular(m_data[pos]))
            ++pos;
        if (pos == m_size && !m_atEnd)
            return Parse::Short;
        out = std::string_view(m_data + start, pos - start);
        return Parse::Ok;
    }

    // An unsigned decimal integer at the position (after white space).
    Parse unsignedInt(quint64& out)
    {
        std::string_view w;
        if (const Parse p = word(w); p != Parse::Ok)
            return p;
        return digitsValue(w, out) ? Parse::Ok : Parse::Bad;
    }

    // One object: appended to the nodes.
    Parse object(int depth)
    {
        if (depth > kMaxNesting)
            return Parse::Bad;
        if (const Parse p = skipSpace(); p != Parse::Ok)
            return p;
        const char c = m_data[pos];
        if (c == '/')
            return name();
        if (c == '(')
            return literalString();
        if (c == '[')
            return array(depth);
        if (c == '<') {
            if (pos + 1 >= m_size)
                return Parse::Short;
            return m_data[pos + 1] == '<' ? dictionary(depth) : hexString();
        }
        if (isDelimiter(c))
            return Parse::Bad;
        return numberOrKeyword();
    }

    static bool digitsValue(std::string_view w, quint64& out)
    {
        if (w.empty() || w.size() > 18)
            return false;
        quint64 v = 0;
        for (const char c : w) {
            if (!isDigit(c))
                return false;
            v = v * 10 + quint64(c - '0');
        }
        out = v;
        return true;
    }

private:
    void push(Type type, qint64 value = 0, quint32 extra = 0)
    {
        m_nodes.push_back(Node{type, quint32(m_nodes.size() + 1), value, extra});
    }

    Parse name()
    {
        const size_t start = ++pos;
        while (pos < m_size && isRegular(m_data[pos]))
            ++pos;
        if (pos == m_size && !m_atEnd)
            return Parse::Short;
        push(Type::Name, qint64(start), quint32(pos - start));
        return Parse::Ok;
    }

    Parse literalString()
    {
        const size_t start = ++pos;
        int open = 1;
        while (pos < m_size) {
            const char c = m_data[pos++];
            if (c == '\\') {
                ++pos;
            } else if (c == '(') {
                ++open;
            } else if (c == ')' && --open == 0) {
                push(Type::String, qint64(start), quint32(pos - 1 - start));
                return Parse::Ok;
            }
        }
        return Parse::Short;
    }

    Parse hexString()
    {
        const size_t start = ++pos;
        while (pos < m_size) {
            const char c = m_data[pos++];
            if (c == '>') {
                push(Type::HexString, qint64(start), quint32(pos - 1 - start));
                return Parse::Ok;
            }
            if (!isHexDigit(c) && !isSpace(c))
                return Parse::Bad;
        }
        return Parse::Short;
    }

    Parse array(int depth)
    {
        ++pos;
        const size_t self = m_nodes.size();
        push(Type::Array);
        for (;;) {
            if (const Parse p = skipSpace(); p != Parse::Ok)
                return p;
            if (m_data[pos] == ']') {
                ++pos;
                break;
            }
            if (const Parse p = object(depth + 1); p != Parse::Ok)
                return p;
        }
        m_nodes[self].end = quint32(m_nodes.size());
        return Parse::Ok;
    }

    Parse dictionary(int depth)
    {
        pos += 2;
        const size_t self = m_nodes.size();
        push(Type::Dict);
        for (;;) {
            if (const Parse p = skipSpace(); p != Parse::Ok)
                return p;
            if (m_data[pos] == '>') {
                if (pos + 1 >= m_size)
                    return Parse::Short;
                if (m_data[pos + 1] != '>')
                    return Parse::Bad;
                pos += 2;
                break;
            }
            if (m_data[pos] != '/')
                return Parse::Bad;
            if (const Parse p = name(); p != Parse::Ok)
                return p;
            // A key without its value ends the dictionary early: qpdf repairs that, this does not.
            if (const Parse p = skipSpace(); p != Parse::Ok)
                return p;
            if (m_data[pos] == '>')
                return Parse::Bad;
            if (const Parse p = object(depth + 1); p != Parse::Ok)
                return p;
        }
        m_nodes[self].end = quint32(m_nodes.size());
        return Parse::Ok;
    }

    Parse numberOrKeyword()
    {
        std::string_view w;
        if (const Parse p = word(w); p != Parse::Ok)
            return p;
        if (w == "null") {
            push(Type::Null);
            return Parse::Ok;
        }
        if (w == "true" || w == "false") {
            push(Type::Bool, w == "true");
            return Parse::Ok;
        }
        quint64 number = 0;
        if (digitsValue(w, number)) {
            // "n g R" is a reference; anything else leaves the integer alone.
            const size_t after = pos;
            std::string_view second;
            quint64 generation = 0;
            if (skipSpace() == Parse::Ok && isDigit(m_data[pos])) {
                const Parse p = word(second);
                if (p == Parse::Short && !m_atEnd)
                    return p;
                if (p == Parse::Ok && digitsValue(second, generation)) {
                    std::string_view r;
                    const Parse q = word(r);
                    if (q == Parse::Short && !m_atEnd)
                        return q;
                    if (q == Parse::Ok && r == "R") {
                        if (number == 0 || number > kMaxObjectNumber || generation > 65535)
                            return Parse::Bad;
                        push(Type::Ref, qint64(number), quint32(generation));
                        return Parse::Ok;
                    }
                }
            } else if (pos >= m_size && !m_atEnd) {
                return Parse::Short;
            }
            pos = after;
            push(Type::Int, qint64(number));
            return Parse::Ok;
        }
        return signedNumber(w) ? Parse::Ok : Parse::Bad;
    }

    // Integers with a sign, and reals (whose value is never looked into).
    bool signedNumber(std::string_view w)
    {
        size_t i = 0;
        const bool negative = !w.empty() && w[0] == '-';
        if (i < w.size() && (w[i] == '+' || w[i] == '-'))
            ++i;
        bool dot = false;
        bool digits = false;
        for (size_t j = i; j < w.size(); ++j) {
            if (w[j] == '.' && !dot)
                dot = true;
            else if (isDigit(w[j]))
                digits = true;
            else
                return false;
        }
        if (!digits)
            return false;
        if (dot) {
            push(Type::Real);
            return true;
        }
        quint64 magnitude = 0;
        if (!digitsValue(w.substr(i), magnitude))
            return false;
        push(Type::Int, negative ? -qint64(magnitude) : qint64(magnitude));
        return true;
    }

    const char* m_data;
    size_t m_size;
    bool m_atEnd;
    std::vector<Node>& m_nodes;
};

// Parsed nodes with the bytes their names and strings point into.
struct Parsed {
    const std::vector<Node>* nodes = nullptr;
    const char* base = nullptr;

    const Node& at(quint32 i) const { return (*nodes)[i]; }

    std::string_view bytes(quint32 i) const
    {
        const Node& n = at(i);
        return std::string_view(base + n.value, n.extra);
    }

    // The value under /key in dictionary `dict`, the last one when the key is there twice (as
    // qpdf keeps it); 0 when absent. Clears `ok` when a key is written with # escapes, which
    // this does not decode.
    quint32 find(quint32 dict, std::string_view key, bool& ok) const
    {
        quint32 found = 0;
        for (quint32 i = dict + 1; i < at(dict).end;) {
            const std::string_view k = bytes(i);
            if (k.find('#') != std::string_view::npos)
                ok = false;
            if (k == key)
                found = i + 1;
            i = at(i + 1).end;
        }
        return found;
    }

    bool isName(quint32 i, std::string_view name) const { return i && at(i).type == Type::Name && bytes(i) == name; }
};

// One entry of the cross-reference data.
struct Entry {
    enum Kind : quint8 { Absent, Free, InFile, Compressed } kind = Absent;
    quint64 field1 = 0; // InFile: offset; Compressed: object stream number
    quint64 field2 = 0; // InFile: generation; Compressed: index in the stream
};

struct Subsection {
    quint32 first;
    quint32 count;
    quint64 pos; // table: file offset of the first entry; stream: offset of its first row in the data
};

struct Section {
    bool isStream = false;
    quint32 subBegin = 0, subEnd = 0;
    int companion = -1;       // a table's /XRefStm section
    bool isCompanion = false; // read only through its table
    quint32 data = 0;         // stream: index of the decoded rows
    quint8 width[3] = {0, 0, 0};
    quint32 rowBytes = 0;
};

struct ObjectStream {
    quint32 number = 0;
    std::vector<char> data;
    std::vector<std::pair<quint32, quint32>> pairs; // object number, offset from /First
    quint64 first = 0;
    bool ascending = true;
};

struct Pending {
    quint32 number;
    quint32 generation;
    quint32 depth;
};

// Buffers kept per thread from file to file, so that a count allocates little.
struct Workspace {
    std::vector<char> whole;
    std::vector<char> window[kWindowCount];
    std::vector<Node> nodes;
    std::vector<Subsection> subsections;
    std::vector<Section> sections;
    std::vector<std::vector<char>> decoded;
    std::vector<ObjectStream> objectStreams;
    std::vector<Pending> pending;
    std::vector<quint64> visited;
    std::vector<quint64> xrefOffsets;
    std::vector<std::pair<quint64, quint64>> ranges;
    std::vector<std::pair<quint32, quint64>> xrefStreams; // object number, offset

    // Gives back memory that one unusual file made large.
    void trim()
    {
        constexpr size_t kKeep = 4 * 1024 * 1024;
        if (whole.capacity() > kKeep)
            std::vector<char>().swap(whole);
        for (auto& d : decoded)
            if (d.capacity() > kKeep)
                std::vector<char>().swap(d);
        for (auto& o : objectStreams)
            if (o.data.capacity() > kKeep)
                std::vector<char>().swap(o.data);
        if (nodes.capacity() > 1024 * 1024)
            std::vector<Node>().swap(nodes);
    }
};

thread_local Workspace t_workspace;

// A stream's filter and its parameters, as far as they are understood.
struct StreamFormat {
    bool flate = false;
    int predictor = 1;
    quint64 columns = 1;
};

// Inflates `size` bytes into `out` and undoes a PNG predictor; false on anything qpdf might read
// differently (a damaged or truncated stream, other predictors).
bool decodeStream(const char* data, size_t size, const StreamFormat& format, std::vector<char>& out,
                  size_t& decodedTotal)
{
    if (!format.flate) {
        if (format.predictor != 1)
            return false;
        out.assign(data, data + size);
        decodedTotal += size;
        return decodedTotal <= kMaxDecodedBytes;
    }
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    out.resize(std::max<size_t>(size * 4, 4096));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z.avail_in = uInt(size);
    size_t produced = 0;
    int status = Z_OK;
    while (status == Z_OK) {
        if (produced == out.size()) {
            if (out.size() * 2 + decodedTotal > kMaxDecodedBytes) {
                inflateEnd(&z);
                return false;
            }
            out.resize(out.size() * 2);
        }
        z.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        z.avail_out = uInt(out.size() - produced);
        status = inflate(&z, Z_NO_FLUSH);
        produced = out.size() - z.avail_out;
        if (status == Z_BUF_ERROR && z.avail_out == 0)
            status = Z_OK; // room was short, not data
    }
    inflateEnd(&z);
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

// Reads the format of a stream from its dictionary; false when it is not understood.
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

// The bytes of a string node: hex digits paired (a last lone digit as if followed by 0), or a
// literal string with its escapes undone and its ends of line read as line feeds.
QByteArray stringValue(const Parsed& d, quint32 i)
{
    const std::string_view raw = d.bytes(i);
    QByteArray out;
    out.reserve(qsizetype(raw.size()));
    if (d.at(i).type == Type::HexString) {
        int high = -1;
        for (const char c : raw) {
            if (!isHexDigit(c))
                continue;
            const int v = isDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
            if (high < 0) {
                high = v;
            } else {
                out += char(high * 16 + v);
                high = -1;
            }
        }
        if (high >= 0)
            out += char(high * 16);
        return out;
    }
    for (size_t k = 0; k < raw.size(); ++k) {
        char c = raw[k];
        if (c == '\r') {
            if (k + 1 < raw.size() && raw[k + 1] == '\n')
                ++k;
            out += '\n';
            continue;
        }
        if (c != '\\' || k + 1 >= raw.size()) {
            out += c;
            continue;
        }
        c = raw[++k];
        switch (c) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case '\r':
            if (k + 1 < raw.size() && raw[k + 1] == '\n')
                ++k;
            break; // a line continued
        case '\n':
            break;
        default:
            if (c >= '0' && c <= '7') {
                int v = c - '0';
                for (int digits = 1; digits < 3 && k + 1 < raw.size() && raw[k + 1] >= '0' && raw[k + 1] <= '7';
                     ++digits)
                    v = v * 8 + (raw[++k] - '0');
                out += char(v & 0xff);
            } else {
                out += c;
            }
        }
    }
    return out;
}

// "oooooooooo ggggg n" and an end of line of two bytes: one entry of a classic table.
bool isTableEntry(const char* x)
{
    unsigned bad = 0;
    for (int i = 0; i < 10; ++i)
        bad |= unsigned(quint8(x[i] - '0')) > 9 ? 1u : 0u;
    for (int i = 11; i < 16; ++i)
        bad |= unsigned(quint8(x[i] - '0')) > 9 ? 1u : 0u;
    const bool eol = (x[18] == ' ' && (x[19] == '\n' || x[19] == '\r')) || (x[18] == '\r' && x[19] == '\n');
    return !bad && x[10] == ' ' && x[16] == ' ' && (x[17] == 'n' || x[17] == 'f') && eol;
}

class Reader {
public:
    Reader(pagecount::FileReader& file, CountingBudget& budget, Workspace& w) : m_file(file), m_budget(budget), m_w(w)
    {
        m_w.subsections.clear();
        m_w.sections.clear();
        m_w.xrefStreams.clear();
        m_decodedUsed = 0;
        m_streamsUsed = 0;
    }

    std::optional<PageTreeCount> run(const QByteArray& password)
    {
        m_size = m_file.size();
        if (m_size < 16)
            return {};
        if (m_size <= kWholeFileBytes) {
            m_w.whole.resize(size_t(m_size));
            if (m_file.readAt(0, m_w.whole.data(), size_t(m_size)) != m_size)
                return {};
            m_whole = true;
        }
        for (auto& window : m_windowStart)
            window = std::numeric_limits<quint64>::max();
        const Span head = span(0, 8);
        // qpdf reads offsets from the header on; one not at the start shifts them all.
        if (head.size < 5 || std::memcmp(head.data, "%PDF-", 5) != 0)
            return {};
        if (!readCrossReference())
            return {};
        if (m_encrypted) {
            // The tree's dictionaries are not encrypted; only object streams need the key.
            if (!readEncryption() || !pdfsecurity::isSupported(m_encryption))
                return {};
            m_password = password;
            m_locked = !pdfsecurity::passwordOpens(m_encryption, password);
        }
        const auto pages = walkTree();
        if (m_keyMissing)
            return PageTreeCount{0, true}; // the tree lies in object streams the password does not open
        if (!pages)
            return {};
        return PageTreeCount{*pages, m_locked};
    }

private:
    struct Span {
        const char* data = nullptr;
        size_t size = 0;
        bool atEnd = true;
    };

    // At least `want` bytes at `offset` (fewer at the end of the file); valid until the next call.
    Span span(quint64 offset, size_t want)
    {
        if (offset >= m_size)
            return {};
        const quint64 left = m_size - offset;
        if (m_whole)
            return {m_w.whole.data() + offset, size_t(left), true};
        const size_t need = size_t(std::min<quint64>(want, left));
        for (size_t i = 0; i < kWindowCount; ++i) {
            const quint64 start = m_windowStart[i];
            if (start != std::numeric_limits<quint64>::max() && offset >= start &&
                offset + need <= start + m_w.window[i].size()) {
                const size_t at = size_t(offset - start);
                return {m_w.window[i].data() + at, m_w.window[i].size() - at, start + m_w.window[i].size() == m_size};
            }
        }
        const size_t i = m_nextWindow++ % kWindowCount;
        const size_t length = size_t(std::min<quint64>(std::max(need, kWindowBytes), left));
        std::vector<char>& window = m_w.window[i];
        window.resize(length);
        const size_t got = m_file.readAt(offset, window.data(), length);
        window.resize(got);
        m_windowStart[i] = offset;
        return {window.data(), got, offset + got == m_size};
    }

    // Parses an object with `parse` from `offset`, growing the bytes read while it runs short.
    template <typename F> bool parseAt(quint64 offset, F&& parse)
    {
        for (size_t want = 4096;; want *= 4) {
            const Span s = span(offset, want);
            if (!s.data)
                return false;
            m_w.nodes.clear();
            Parser parser(s.data, s.size, s.atEnd, m_w.nodes);
            const Parse result = parse(parser, s);
            if (result == Parse::Ok)
                return true;
            if (result == Parse::Bad || s.atEnd || want >= kMaxObjectBytes)
                return false;
        }
    }

    // The value of "startxref" as qpdf finds it: the last one in the final bytes followed by
    // an integer.
    bool findStartxref(quint64& offset)
    {
        const quint64 from = m_size > kStartxrefWindow ? m_size - kStartxrefWindow : 0;
        const Span s = span(from, size_t(m_size - from));
        if (s.size != m_size - from)
            return false;
        const std::string_view tail(s.data, s.size);
        constexpr std::string_view kKeyword = "startxref";
        for (size_t at = tail.rfind(kKeyword); at != std::string_view::npos;
             at = at ? tail.rfind(kKeyword, at - 1) : std::string_view::npos) {
            std::vector<Node> none;
            Parser p(s.data, s.size, true, none);
            p.pos = at + kKeyword.size();
            if (p.pos < s.size && isRegular(s.data[p.pos]))
                continue;
            // The first integer after it, with a sign or not; qpdf rebuilds the table from
            // one that is not a positive offset.
            std::string_view w;
            if (p.word(w) != Parse::Ok || w.empty())
                continue;
            const bool sign = w[0] == '+' || w[0] == '-';
            quint64 value = 0;
            if (!Parser::digitsValue(w.substr(sign ? 1 : 0), value)) {
                if (w.size() > 1 && std::all_of(w.begin() + 1, w.end(), isDigit))
                    return false; // an integer too long to be an offset
                continue;
            }
            offset = value;
            return value != 0 && w[0] != '-';
        }
        return false;
    }

    bool readCrossReference()
    {
        quint64 offset = 0;
        if (!findStartxref(offset))
            return false;
        m_w.xrefOffsets.clear();
        bool newest = true;
        while (offset != 0) {
            if (!m_budget.poll() || m_w.sections.size() >= kMaxSections || offset >= m_size)
                return false;
            if (std::find(m_w.xrefOffsets.begin(), m_w.xrefOffsets.end(), offset) != m_w.xrefOffsets.end())
                return false; // qpdf stops at a loop and rebuilds the table
            m_w.xrefOffsets.push_back(offset);
            // "xref" right at the offset starts a table (qpdf skips nothing before it); anything
            // else must be a cross-reference stream.
            const Span s = span(offset, 64);
            qint64 previous = 0;
            bool ok = false;
            if (s.size >= 5 && std::memcmp(s.data, "xref", 4) == 0 && isXrefSpace(s.data[4]))
                ok = readTable(offset + 4, newest, previous);
            else
                ok = readStreamSection(offset, newest, previous, false);
            if (!ok || previous < 0)
                return false;
            newest = false;
            offset = quint64(previous);
        }
        return !m_w.sections.empty() && m_rootNumber != 0;
    }

    // A classic table from just after "xref": its subsections and trailer. The entries are read
    // when looked up; here only their layout is checked.
    bool readTable(quint64 offset, bool newest, qint64& previous)
    {
        Section section;
        section.subBegin = quint32(m_w.subsections.size());
        quint64 pos = offset;
        for (;;) {
            if (!m_budget.poll())
                return false;
            quint64 first = 0, count = 0;
            bool trailer = false;
            quint64 entries = 0;
            const bool parsed = parseAt(pos, [&](Parser& p, const Span&) {
                std::string_view w;
                if (const Parse r = p.word(w); r != Parse::Ok)
                    return r;
                if (w == "trailer") {
                    trailer = true;
                    entries = pos + p.pos;
                    return Parse::Ok;
                }
                if (!Parser::digitsValue(w, first))
                    return Parse::Bad;
                if (const Parse r = p.unsignedInt(count); r != Parse::Ok)
                    return r;
                if (const Parse r = p.skipSpace(); r != Parse::Ok)
                    return r;
                entries = pos + p.pos;
                return Parse::Ok;
            });
            if (!parsed)
                return false;
            if (trailer) {
                pos = entries;
                break;
            }
            if (first + count > kMaxObjectNumber || count * 20 > kMaxObjectBytes ||
                count * 20 > m_size - std::min(m_size, entries))
                return false;
            if (count > 0) {
                const Span e = span(entries, size_t(count * 20));
                if (e.size < count * 20)
                    return false;
                // qpdf rebuilds the whole table from the objects in the file at one malformed entry.
                for (quint64 i = 0; i < count; ++i) {
                    if (!isTableEntry(e.data + i * 20))
                        return false;
                }
            }
            m_w.subsections.push_back({quint32(first), quint32(count), entries});
            m_maxObject = std::max<quint64>(m_maxObject, first + count);
            pos = entries + count * 20;
        }
        section.subEnd = quint32(m_w.subsections.size());
        const size_t index = m_w.sections.size();
        m_w.sections.push_back(section);

        qint64 xrefStream = -1;
        const bool parsed = parseAt(pos, [&](Parser& p, const Span& s) {
            if (const Parse r = p.object(0); r != Parse::Ok)
                return r;
            const Parsed d{&m_w.nodes, s.data};
            if (d.at(0).type != Type::Dict)
                return Parse::Bad;
            if (!readTrailer(d, newest, previous))
                return Parse::Bad;
            bool ok = true;
            // qpdf rebuilds the table when a trailer lacks /Size or its /Size is not an integer.
            if (const quint32 size = d.find(0, "Size", ok); !size || d.at(size).type != Type::Int)
                return Parse::Bad;
            if (const quint32 x = d.find(0, "XRefStm", ok)) {
                if (d.at(x).type != Type::Int || d.at(x).value <= 0)
                    return Parse::Bad;
                xrefStream = d.at(x).value;
            }
            return ok ? Parse::Ok : Parse::Bad;
        });
        if (!parsed)
            return false;
        if (xrefStream > 0) {
            qint64 ignored = 0;
            const int companion = int(m_w.sections.size());
            if (!readStreamSection(quint64(xrefStream), false, ignored, true))
                return false;
            m_w.sections[index].companion = companion;
        }
        return true;
    }

    // The keys of a trailer (or of a cross-reference stream's dictionary) this reader uses.
    bool readTrailer(const Parsed& d, bool newest, qint64& previous)
    {
        bool ok = true;
        if (const quint32 prev = d.find(0, "Prev", ok)) {
            if (d.at(prev).type != Type::Int || d.at(prev).value < 0)
                return false;
            previous = d.at(prev).value;
        }
        if (newest) {
            const quint32 root = d.find(0, "Root", ok);
            if (!root || d.at(root).type != Type::Ref)
                return false;
            m_rootNumber = quint32(d.at(root).value);
            m_rootGeneration = d.at(root).extra;
            const quint32 encrypt = d.find(0, "Encrypt", ok);
            m_encrypted = encrypt && d.at(encrypt).type != Type::Null;
            if (m_encrypted) {
                if (d.at(encrypt).type != Type::Ref)
                    return false;
                m_encryptNumber = quint32(d.at(encrypt).value);
                m_encryptGeneration = d.at(encrypt).extra;
                const quint32 id = d.find(0, "ID", ok);
                if (!id || d.at(id).type != Type::Array || d.at(id).end == id + 1)
                    return false;
                const Type first = d.at(id + 1).type;
                if (first != Type::String && first != Type::HexString)
                    return false;
                m_encryption.fileId = stringValue(d, id + 1);
            }
        }
        return ok;
    }

    // The standard security handler's values from the /Encrypt dictionary.
    bool readEncryption()
    {
        Parsed d;
        bool isStream = false;
        if (resolve(m_encryptNumber, m_encryptGeneration, d, isStream) != Resolved::Object || isStream ||
            d.at(0).type != Type::Dict)
            return false;
        bool ok = true;
        pdfsecurity::Encryption& e = m_encryption;
        const auto name = [&](quint32 dict, std::string_view key, std::string_view& out) {
            const quint32 v = d.find(dict, key, ok);
            if (!v || d.at(v).type != Type::Name)
                return false;
            out = d.bytes(v);
            return true;
        };
        const auto integer = [&](std::string_view key, qint64& out, bool required) {
            const quint32 v = d.find(0, key, ok);
            if (!v)
                return !required;
            if (d.at(v).type != Type::Int)
                return false;
            out = d.at(v).value;
            return true;
        };
        const auto string = [&](std::string_view key, QByteArray& out) {
            const quint32 v = d.find(0, key, ok);
            if (v && (d.at(v).type == Type::String || d.at(v).type == Type::HexString))
                out = stringValue(d, v);
            return !v || d.at(v).type == Type::String || d.at(v).type == Type::HexString;
        };
        std::string_view filter;
        qint64 v = 0, r = 0, length = 40, p = 0;
        if (!name(0, "Filter", filter) || !integer("V", v, true) || !integer("R", r, true) ||
            !integer("Length", length, false) || !integer("P", p, true) || !string("O", e.o) || !string("U", e.u) ||
            !string("OE", e.oe) || !string("UE", e.ue) || !string("Perms", e.perms))
            return false;
        if (v < 0 || v > 5 || r < 0 || r > 6 || length < 0 || length > 4096 || p < std::numeric_limits<qint32>::min() ||
            p > std::numeric_limits<quint32>::max())
            return false;
        // qpdf takes a missing key length of V 2 and 3 as 128 bits, the handler as 40; left to qpdf.
        if ((v == 2 || v == 3) && !d.find(0, "Length", ok))
            return false;
        e.filter = QByteArray(filter.data(), qsizetype(filter.size()));
        e.v = int(v);
        e.r = int(r);
        e.lengthBits = int(length);
        e.p = qint32(quint32(p)); // written signed or unsigned, the same 32 bits
        if (const quint32 m = d.find(0, "EncryptMetadata", ok)) {
            if (d.at(m).type != Type::Bool)
                return false;
            e.encryptMetadata = d.at(m).value != 0;
        }
        if (e.v >= 4) {
            std::string_view streamFilter;
            if (!name(0, "StmF", streamFilter))
                return false;
            if (streamFilter == "Identity") {
                e.streamMethod = pdfsecurity::Method::None;
            } else {
                const quint32 cf = d.find(0, "CF", ok);
                if (!cf || d.at(cf).type != Type::Dict)
                    return false;
                const quint32 f = d.find(cf, streamFilter, ok);
                std::string_view method;
                if (!f || d.at(f).type != Type::Dict || !name(f, "CFM", method))
                    return false;
                e.streamMethod = method == "V2"      ? pdfsecurity::Method::Rc4
                                 : method == "AESV2" ? pdfsecurity::Method::AesV2
                                 : method == "AESV3" ? pdfsecurity::Method::AesV3
                                                     : pdfsecurity::Method::Unknown;
            }
        }
        return ok;
    }

    // A cross-reference stream at `offset`. A hybrid file's stream (`companion`) adds entries to
    // its table's section and its trailer keys are not read.
    bool readStreamSection(quint64 offset, bool newest, qint64& previous, bool companion)
    {
        StreamFormat format;
        quint64 length = 0;
        quint64 dataOffset = 0;
        quint64 widths[3] = {0, 0, 0};
        quint64 size = 0;
        quint32 streamNumber = 0;
        const size_t subBegin = m_w.subsections.size();
        std::vector<std::pair<quint64, quint64>>& ranges = m_w.ranges;
        ranges.clear();
        const bool parsed = parseAt(offset, [&](Parser& p, const Span& s) {
            quint64 number = 0, generation = 0;
            std::string_view w;
            if (const Parse r = p.unsignedInt(number); r != Parse::Ok)
                return r;
            if (const Parse r = p.unsignedInt(generation); r != Parse::Ok)
                return r;
            if (const Parse r = p.word(w); r != Parse::Ok || w != "obj")
                return r == Parse::Short ? r : Parse::Bad;
            if (number == 0 || number > kMaxObjectNumber)
                return Parse::Bad;
            streamNumber = quint32(number);
            if (const Parse r = p.object(0); r != Parse::Ok)
                return r;
            if (const Parse r = streamKeyword(p, s); r != Parse::Ok)
                return r;
            dataOffset = offset + p.pos;
            const Parsed d{&m_w.nodes, s.data};
            bool ok = true;
            if (d.at(0).type != Type::Dict || !d.isName(d.find(0, "Type", ok), "XRef"))
                return Parse::Bad;
            const quint32 len = d.find(0, "Length", ok);
            if (!len || d.at(len).type != Type::Int || d.at(len).value < 0)
                return Parse::Bad;
            length = quint64(d.at(len).value);
            if (!readStreamFormat(d, 0, format))
                return Parse::Bad;
            const quint32 sz = d.find(0, "Size", ok);
            if (!sz || d.at(sz).type != Type::Int || d.at(sz).value < 0)
                return Parse::Bad;
            size = quint64(d.at(sz).value);
            const quint32 wArray = d.find(0, "W", ok);
            if (!wArray || d.at(wArray).type != Type::Array || d.at(wArray).end != wArray + 4)
                return Parse::Bad;
            for (int i = 0; i < 3; ++i) {
                const Node& n = d.at(wArray + 1 + quint32(i));
                if (n.type != Type::Int || n.value < 0 || n.value > 8)
                    return Parse::Bad;
                widths[i] = quint64(n.value);
            }
            if (const quint32 index = d.find(0, "Index", ok)) {
                if (d.at(index).type != Type::Array)
                    return Parse::Bad;
                for (quint32 i = index + 1; i < d.at(index).end; i += 2) {
                    if (i + 1 >= d.at(index).end || d.at(i).type != Type::Int || d.at(i + 1).type != Type::Int ||
                        d.at(i).value < 0 || d.at(i + 1).value < 0)
                        return Parse::Bad;
                    ranges.push_back({quint64(d.at(i).value), quint64(d.at(i + 1).value)});
                }
            } else {
                ranges.push_back({0, size});
            }
            if (!companion && !readTrailer(d, newest, previous))
                return Parse::Bad;
            return ok ? Parse::Ok : Parse::Bad;
        });
        if (!parsed || length > kMaxObjectBytes || dataOffset + length > m_size)
            return false;
        // qpdf keeps the stream as the object its header names, whatever the entries say.
        m_w.xrefStreams.push_back({streamNumber, offset});
        std::vector<char>* rows = nullptr;
        if (!readStreamData(dataOffset, length, format, rows))
            return false;
        Section section;
        section.isStream = true;
        section.isCompanion = companion;
        section.data = quint32(m_decodedUsed - 1);
        for (int i = 0; i < 3; ++i)
            section.width[i] = quint8(widths[i]);
        section.rowBytes = quint32(widths[0] + widths[1] + widths[2]);
        if (section.rowBytes == 0)
            return false;
        quint64 row = 0;
        for (const auto& [first, count] : ranges) {
            if (first + count > kMaxObjectNumber)
                return false;
            m_w.subsections.push_back({quint32(first), quint32(count), row * section.rowBytes});
            m_maxObject = std::max<quint64>(m_maxObject, first + count);
            row += count;
        }
        if (row * section.rowBytes > rows->size())
            return false;
        // qpdf gives up on the whole section at an entry type it does not know.
        if (section.width[0] > 0) {
            for (quint64 r = 0; r < row; ++r) {
                if (field(rows->data() + r * section.rowBytes, section.width[0]) > 2)
                    return false;
            }
        }
        section.subBegin = quint32(subBegin);
        section.subEnd = quint32(m_w.subsections.size());
        m_w.sections.push_back(section);
        return true;
    }

    // Past the "stream" keyword and its end of line; Bad when the keyword is not there.
    static Parse streamKeyword(Parser& p, const Span& s)
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

    // The decoded data of a stream whose data starts at `offset`, checked to end in "endstream";
    // kept in the next decoding buffer.
    // `encryptedNumber`: the number of the stream object when its data is encrypted, else 0.
    bool readStreamData(quint64 offset, quint64 length, const StreamFormat& format, std::vector<char>*& out,
                        quint32 encryptedNumber = 0)
    {
        if (length > kMaxObjectBytes || offset + length > m_size)
            return false;
        const Span s = span(offset, size_t(length) + 64);
        if (s.size < length)
            return false;
        {
            std::vector<Node> none;
            Parser p(s.data, s.size, s.atEnd, none);
            p.pos = size_t(length);
            std::string_view w;
            if (p.word(w) != Parse::Ok || w != "endstream")
                return false;
        }
        if (m_decodedUsed == m_w.decoded.size())
            m_w.decoded.emplace_back();
        out = &m_w.decoded[m_decodedUsed++];
        if (encryptedNumber == 0)
            return decodeStream(s.data, size_t(length), format, *out, m_decodedTotal);
        // The key is derived once, for the first stream that needs it.
        if (m_locked) {
            m_keyMissing = true;
            return false;
        }
        if (m_key.isEmpty()) {
            const std::optional<QByteArray> key = pdfsecurity::fileKey(m_encryption, m_password);
            if (!key || key->isEmpty())
                return false;
            m_key = *key;
        }
        const std::optional<QByteArray> plain = pdfsecurity::decryptStream(m_encryption, m_key, int(encryptedNumber), 0,
                                                                           QByteArrayView(s.data, qsizetype(length)));
        return plain && decodeStream(plain->constData(), size_t(plain->size()), format, *out, m_decodedTotal);
    }

    static quint64 field(const char* p, int width)
    {
        quint64 v = 0;
        for (int i = 0; i < width; ++i)
            v = (v << 8) | quint8(p[i]);
        return v;
    }

    bool streamEntry(const Section& section, quint32 number, Entry& entry)
    {
        for (quint32 i = section.subBegin; i < section.subEnd; ++i) {
            const Subsection& sub = m_w.subsections[i];
            if (number < sub.first || number - sub.first >= sub.count)
                continue;
            const char* row =
                m_w.decoded[section.data].data() + sub.pos + quint64(number - sub.first) * section.rowBytes;
            const quint64 type = section.width[0] ? field(row, section.width[0]) : 1;
            const quint64 f1 = field(row + section.width[0], section.width[1]);
            const quint64 f2 = field(row + section.width[0] + section.width[1], section.width[2]);
            entry.kind = type == 0 ? Entry::Free : type == 1 ? Entry::InFile : Entry::Compressed;
            entry.field1 = f1;
            entry.field2 = f2;
            return true;
        }
        return false;
    }

    // The entry of object `number` as qpdf keeps it: the newest section that lists the number
    // wins; in a table, in-use entries before the entries of its /XRefStm, free ones after.
    // False when an entry is malformed.
    bool lookup(quint32 number, Entry& entry)
    {
        entry = Entry{};
        for (const Section& section : m_w.sections) {
            if (section.isStream) {
                if (!section.isCompanion && streamEntry(section, number, entry))
                    return true;
                continue;
            }
            bool free = false;
            for (quint32 i = section.subBegin; i < section.subEnd; ++i) {
                const Subsection& sub = m_w.subsections[i];
                if (number < sub.first || number - sub.first >= sub.count)
                    continue;
                const Span s = span(sub.pos + quint64(number - sub.first) * 20, 20);
                if (s.size < 20)
                    return false;
                quint64 offset = 0, generation = 0;
                if (!Parser::digitsValue(std::string_view(s.data, 10), offset) ||
                    !Parser::digitsValue(std::string_view(s.data + 11, 5), generation))
                    return false;
                if (s.data[17] == 'n') {
                    entry = Entry{Entry::InFile, offset, generation};
                    return true;
                }
                free = true;
            }
            if (section.companion >= 0 && streamEntry(m_w.sections[size_t(section.companion)], number, entry))
                return true;
            if (free) {
                entry.kind = Entry::Free;
                return true;
            }
        }
        return true;
    }

    enum class Resolved { NotUnderstood, Null, Object };

    // Parses object (number, generation) into the nodes; `out` points into them. An object that
    // is not there is null, as in qpdf.
    Resolved resolve(quint32 number, quint32 generation, Parsed& out, bool& isStream)
    {
        isStream = false;
        Entry entry;
        if (!lookup(number, entry))
            return Resolved::NotUnderstood;
        for (const auto& [n, offset] : m_w.xrefStreams) {
            if (n == number && (entry.kind != Entry::InFile || entry.field1 != offset))
                return Resolved::NotUnderstood;
        }
        if (entry.kind == Entry::Absent || entry.kind == Entry::Free)
            return Resolved::Null;
        if (entry.kind == Entry::Compressed) {
            if (generation != 0)
                return Resolved::NotUnderstood;
            return objectInStream(number, entry, out) ? Resolved::Object : Resolved::NotUnderstood;
        }
        // qpdf keys its table by number and generation; an older generation is left to it.
        if (entry.field2 != generation || entry.field1 >= m_size)
            return Resolved::NotUnderstood;
        const bool parsed = parseAt(entry.field1, [&](Parser& p, const Span& s) {
            quint64 n = 0, g = 0;
            std::string_view w;
            if (const Parse r = p.unsignedInt(n); r != Parse::Ok)
                return r;
            if (const Parse r = p.unsignedInt(g); r != Parse::Ok)
                return r;
            if (const Parse r = p.word(w); r != Parse::Ok)
                return r;
            if (n != number || g != generation || w != "obj")
                return Parse::Bad;
            if (const Parse r = p.object(0); r != Parse::Ok)
                return r;
            const size_t end = p.pos;
            if (const Parse r = p.word(w); r != Parse::Ok)
                return r;
            if (w == "stream") {
                if (m_w.nodes[0].type != Type::Dict)
                    return Parse::Bad;
                p.pos = end;
                if (const Parse r = streamKeyword(p, s); r != Parse::Ok)
                    return r;
                isStream = true;
                m_streamData = entry.field1 + p.pos;
            } else if (w != "endobj") {
                return Parse::Bad;
            }
            out = Parsed{&m_w.nodes, s.data};
            return Parse::Ok;
        });
        return parsed ? Resolved::Object : Resolved::NotUnderstood;
    }

    bool objectInStream(quint32 number, const Entry& entry, Parsed& out)
    {
        if (entry.field1 == 0 || entry.field1 > kMaxObjectNumber)
            return false;
        ObjectStream* stream = objectStream(quint32(entry.field1));
        if (!stream)
            return false;
        // The index in the entry is a hint; qpdf goes by the numbers in the stream's header, and
        // the last pair with the number wins.
        quint64 offset = std::numeric_limits<quint64>::max();
        if (stream->ascending && entry.field2 < stream->pairs.size() &&
            stream->pairs[size_t(entry.field2)].first == number) {
            offset = stream->pairs[size_t(entry.field2)].second;
        } else {
            for (const auto& [n, o] : stream->pairs)
                if (n == number)
                    offset = o;
        }
        if (offset == std::numeric_limits<quint64>::max())
            return false;
        const quint64 start = stream->first + offset;
        if (start >= stream->data.size())
            return false;
        m_w.nodes.clear();
        Parser p(stream->data.data() + start, size_t(stream->data.size() - start), true, m_w.nodes);
        if (p.object(0) != Parse::Ok)
            return false;
        out = Parsed{&m_w.nodes, stream->data.data() + start};
        return true;
    }

    // The object stream `number`, decoded once per file.
    ObjectStream* objectStream(quint32 number)
    {
        if (m_lastStream < m_streamsUsed && m_w.objectStreams[m_lastStream].number == number)
            return &m_w.objectStreams[m_lastStream];
        for (size_t i = 0; i < m_streamsUsed; ++i) {
            if (m_w.objectStreams[i].number == number) {
                m_lastStream = i;
                return &m_w.objectStreams[i];
            }
        }
        // qpdf asks for the stream as generation 0; a stream is never inside another one.
        Entry own;
        if (!lookup(number, own) || own.kind != Entry::InFile)
            return nullptr;
        Parsed d;
        bool isStream = false;
        if (resolve(number, 0, d, isStream) != Resolved::Object || !isStream)
            return nullptr;
        const quint64 dataOffset = m_streamData;
        bool ok = true;
        if (d.at(0).type != Type::Dict || !d.isName(d.find(0, "Type", ok), "ObjStm"))
            return nullptr;
        StreamFormat format;
        if (!readStreamFormat(d, 0, format))
            return nullptr;
        const quint32 n = d.find(0, "N", ok);
        const quint32 first = d.find(0, "First", ok);
        const quint32 len = d.find(0, "Length", ok);
        if (!ok || !n || !first || !len || d.at(n).type != Type::Int || d.at(first).type != Type::Int ||
            d.at(n).value < 0 || d.at(first).value < 0 || d.at(n).value > 1 << 20)
            return nullptr;
        const quint64 count = quint64(d.at(n).value);
        const quint64 firstOffset = quint64(d.at(first).value);
        qint64 length = -1;
        if (d.at(len).type == Type::Int) {
            length = d.at(len).value;
        } else if (d.at(len).type == Type::Ref) {
            const quint32 ln = quint32(d.at(len).value), lg = d.at(len).extra;
            // A length kept in an object stream could lead back here; such files go to qpdf.
            Entry lengthEntry;
            if (!lookup(ln, lengthEntry) || lengthEntry.kind != Entry::InFile)
                return nullptr;
            Parsed l;
            bool lengthIsStream = false;
            if (resolve(ln, lg, l, lengthIsStream) != Resolved::Object || lengthIsStream || l.at(0).type != Type::Int)
                return nullptr;
            length = l.at(0).value;
        }
        if (length < 0)
            return nullptr;
        std::vector<char>* data = nullptr;
        // Object streams are encrypted in an encrypted file (cross-reference streams never are).
        const bool encrypted =
            m_encrypted && !(m_encryption.v >= 4 && m_encryption.streamMethod == pdfsecurity::Method::None);
        if (!readStreamData(dataOffset, quint64(length), format, data, encrypted ? number : 0))
            return nullptr;
        if (m_streamsUsed == m_w.objectStreams.size())
            m_w.objectStreams.emplace_back();
        ObjectStream& stream = m_w.objectStreams[m_streamsUsed];
        stream.number = number;
        stream.data.swap(*data);
        stream.first = firstOffset;
        stream.pairs.clear();
        stream.ascending = true;
        if (firstOffset > stream.data.size())
            return nullptr;
        std::vector<Node> none;
        Parser header(stream.data.data(), size_t(firstOffset), true, none);
        for (quint64 i = 0; i < count; ++i) {
            quint64 objectNumber = 0, offset = 0;
            if (header.unsignedInt(objectNumber) != Parse::Ok || header.unsignedInt(offset) != Parse::Ok ||
                objectNumber > kMaxObjectNumber || offset > stream.data.size())
                return nullptr;
            if (!stream.pairs.empty() && stream.pairs.back().first >= objectNumber)
                stream.ascending = false;
            stream.pairs.push_back({quint32(objectNumber), quint32(offset)});
        }
        m_lastStream = m_streamsUsed++;
        return &stream;
    }

    bool markVisited(quint32 number)
    {
        const size_t word = number / 64;
        const quint64 bit = quint64(1) << (number % 64);
        if (word >= m_w.visited.size())
            return false;
        if (m_w.visited[word] & bit)
            return false;
        m_w.visited[word] |= bit;
        return true;
    }

    // The value of /Kids at `kids` in `d`, through a reference: Null when it is null (the node is
    // then a page), otherwise Object with `list` holding it and `at` its array (0: not an array).
    Resolved kidsList(const Parsed& d, quint32 kids, Parsed& list, quint32& at)
    {
        at = 0;
        if (!kids || d.at(kids).type == Type::Null)
            return Resolved::Null;
        if (d.at(kids).type != Type::Ref) {
            list = d;
            if (d.at(kids).type == Type::Array)
                at = kids + 1;
            return Resolved::Object;
        }
        bool isStream = false;
        const Resolved r = resolve(quint32(d.at(kids).value), d.at(kids).extra, list, isStream);
        if (r != Resolved::Object)
            return r;
        if (!isStream && list.at(0).type == Type::Null)
            return Resolved::Null;
        if (!isStream && list.at(0).type == Type::Array)
            at = 1; // the array at node 0, see takeKids
        return Resolved::Object;
    }

    // Pushes the kids listed in the array at node `at - 1` of `d`, or counts them when they are
    // pages written in place. False when not understood.
    bool takeKids(const Parsed& d, quint32 at, quint32 depth, quint64& pages)
    {
        if (at == 0)
            return true; // qpdf reads no kids from anything but an array
        const quint32 array = at - 1;
        for (quint32 i = array + 1; i < d.at(array).end; i = d.at(i).end) {
            const Node& kid = d.at(i);
            switch (kid.type) {
            case Type::Ref:
                m_w.pending.push_back({quint32(kid.value), kid.extra, depth + 1});
                break;
            case Type::Null:
                return false; // qpdf throws on a null kid written in place
            case Type::Dict: {
                // A page written in place counts; an inner node written in place is left to qpdf.
                bool ok = true;
                const quint32 k = d.find(i, "Kids", ok);
                if (!ok || (k && d.at(k).type != Type::Null))
                    return false;
                ++pages;
                break;
            }
            default:
                ++pages;
                break;
            }
        }
        return true;
    }

    std::optional<quint64> walkTree()
    {
        m_w.visited.assign(size_t(m_maxObject / 64 + 1), 0);
        m_w.pending.clear();
        Parsed d;
        bool isStream = false;
        if (resolve(m_rootNumber, m_rootGeneration, d, isStream) != Resolved::Object || isStream ||
            d.at(0).type != Type::Dict)
            return std::nullopt;
        bool ok = true;
        const quint32 pagesKey = d.find(0, "Pages", ok);
        if (!ok)
            return std::nullopt;
        if (!pagesKey || d.at(pagesKey).type == Type::Null)
            return 0;
        if (d.at(pagesKey).type != Type::Ref)
            return std::nullopt;
        const quint32 rootPages = quint32(d.at(pagesKey).value);
        const Resolved r = resolve(rootPages, d.at(pagesKey).extra, d, isStream);
        if (r == Resolved::NotUnderstood || isStream)
            return std::nullopt;
        if (r == Resolved::Null || d.at(0).type != Type::Dict)
            return 0;
        // qpdf climbs /Parent from a /Pages that points into the tree; such files go to it.
        const quint32 parent = d.find(0, "Parent", ok);
        if (!ok || (parent && d.at(parent).type != Type::Null))
            return std::nullopt;
        markVisited(rootPages);
        quint64 pages = 0;
        // The root is an inner node whatever its /Kids holds.
        Parsed list;
        quint32 at = 0;
        const quint32 rootKids = d.find(0, "Kids", ok);
        if (!ok || kidsList(d, rootKids, list, at) == Resolved::NotUnderstood || !takeKids(list, at, 0, pages))
            return std::nullopt;
        while (!m_w.pending.empty()) {
            if (!m_budget.poll())
                return std::nullopt;
            const Pending kid = m_w.pending.back();
            m_w.pending.pop_back();
            const Resolved k = resolve(kid.number, kid.generation, d, isStream);
            if (k == Resolved::NotUnderstood)
                return std::nullopt;
            if (k == Resolved::Null || isStream || d.at(0).type != Type::Dict) {
                ++pages;
                continue;
            }
            const quint32 kids = d.find(0, "Kids", ok);
            if (!ok)
                return std::nullopt;
            const Resolved l = kidsList(d, kids, list, at);
            if (l == Resolved::NotUnderstood)
                return std::nullopt;
            if (l == Resolved::Null) {
                ++pages;
                continue;
            }
            // An inner node reached twice makes qpdf report a loop.
            if (kid.depth > kMaxTreeDepth || !markVisited(kid.number))
                return std::nullopt;
            if (!takeKids(list, at, kid.depth, pages))
                return std::nullopt;
        }
        return pages;
    }

    pagecount::FileReader& m_file;
    CountingBudget& m_budget;
    Workspace& m_w;
    quint64 m_size = 0;
    bool m_whole = false;
    quint64 m_windowStart[kWindowCount];
    size_t m_nextWindow = 0;
    size_t m_decodedUsed = 0;
    size_t m_decodedTotal = 0;
    size_t m_streamsUsed = 0;
    size_t m_lastStream = 0;
    quint64 m_maxObject = 0;
    quint64 m_streamData = 0;
    quint32 m_rootNumber = 0;
    quint32 m_rootGeneration = 0;
    bool m_encrypted = false;
    quint32 m_encryptNumber = 0;
    quint32 m_encryptGeneration = 0;
    pdfsecurity::Encryption m_encryption;
    QByteArray m_password;
    QByteArray m_key;
    bool m_locked = false;
    bool m_keyMissing = false;
};

} // namespace

std::optional<PageTreeCount> countPages(pagecount::FileReader& file, const QByteArray& password, CountingBudget& budget)
{
    Workspace& workspace = t_workspace;
    std::optional<PageTreeCount> result;
    {
        Reader reader(file, budget, workspace);
        // The security handler takes an empty password as bytes, never as a null pointer.
        result = reader.run(password.isNull() ? QByteArray("") : password);
    }
    workspace.trim();
    return result;
}

} // namespace pdftree
