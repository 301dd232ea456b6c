#pragma once

// PDF syntax: the tokens and objects of a byte range, parsed into a flat list of nodes. The
// parser accepts only well-formed syntax; where qpdf would warn and repair, it says Bad, and
// the reader leaves the file to qpdf. It reads nothing outside the range it is given, and says
// Short when the range ends before the syntax does, so that the caller may retry with more bytes.
// It reports its work to the meter every few KiB scanned, and charges the nodes it adds.

#include "model/pdf/Meter.h"

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <string_view>
#include <vector>

namespace pdftree {

// Past these the file is left to qpdf: no real file comes near them.
constexpr int kMaxNesting = 64; // arrays and dictionaries within one object
constexpr quint32 kMaxObjectNumber = 8 * 1024 * 1024;

// The classes of a byte, looked up in one table: white space between tokens as qpdf's
// tokenizer has it (with vertical tab and NUL), delimiters, digits and hex digits.
enum CharClass : quint8 { kSpace = 1, kDelimiter = 2, kDigit = 4, kHexDigit = 8 };

inline constexpr auto kCharClasses = [] {
    std::array<quint8, 256> classes{};
    for (const char c : std::string_view(" \n\r\t\f\v\0", 7))
        classes[quint8(c)] |= kSpace;
    for (const char c : std::string_view("()<>[]{}/%"))
        classes[quint8(c)] |= kDelimiter;
    for (int c = '0'; c <= '9'; ++c)
        classes[c] |= kDigit | kHexDigit;
    for (int c = 0; c < 6; ++c)
        classes['a' + c] = classes['A' + c] = kHexDigit;
    return classes;
}();

inline bool isSpace(char c)
{
    return (kCharClasses[quint8(c)] & kSpace) != 0;
}

// White space where qpdf looks for "xref" (no NUL).
inline bool isXrefSpace(char c)
{
    return c != '\0' && isSpace(c);
}

inline bool isDelimiter(char c)
{
    return (kCharClasses[quint8(c)] & kDelimiter) != 0;
}

inline bool isRegular(char c)
{
    return (kCharClasses[quint8(c)] & (kSpace | kDelimiter)) == 0;
}

inline bool isDigit(char c)
{
    return (kCharClasses[quint8(c)] & kDigit) != 0;
}

inline bool isHexDigit(char c)
{
    return (kCharClasses[quint8(c)] & kHexDigit) != 0;
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

using Nodes = Charged<Node>;

// Parses PDF syntax out of a byte range into nodes, appended to `nodes`. May throw Stopped.
// The contents of an array or dictionary under a key of an object's own dictionary that the
// reader never looks into are checked but not stored (see readsContents).
class Parser {
public:
    // `atEnd`: the range ends where the data does, so a token ending there is complete.
    // `nodes` may be null when no object() is parsed.
    Parser(const char* data, size_t size, bool atEnd, Nodes* nodes, Meter& meter)
        : m_data(data), m_size(size), m_atEnd(atEnd), m_nodes(nodes), m_meter(meter)
    {
        setReported(0);
    }
    // Reports the work not reported yet; a bound passed then stops the next report.
    ~Parser() { m_meter.note(pos > m_reported ? pos - m_reported : 0); }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    size_t pos = 0;

    // Moves the position to `at`; the bytes passed over are not counted as work.
    void moveTo(size_t at)
    {
        pos = at;
        setReported(at < m_size ? at : m_size);
    }

    [[gnu::always_inline]] Parse skipSpace()
    {
        for (;;) {
            const size_t stop = reportAt();
            while (pos < stop) {
                const char c = m_data[pos];
                if (isSpace(c))
                    ++pos;
                else if (c == '%')
                    skipComment();
                else
                    return Parse::Ok;
            }
            if (pos >= m_size)
                return Parse::Short;
            report();
        }
    }

    // A run of regular characters at the position (after white space).
    [[gnu::always_inline]] Parse word(std::string_view& out)
    {
        if (const Parse p = skipSpace(); p != Parse::Ok)
            return p;
        const size_t start = pos;
        skipRegular();
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
    Parse object(int depth);

    // The value of a run of 1 to 18 decimal digits; false for anything else.
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
    // Bytes scanned between two reports to the meter.
    static constexpr size_t kBytesPerReport = 4096;

    // Where the next report of work is due, or the end of the range.
    size_t reportAt() const { return m_reportAt; }
    void setReported(size_t at)
    {
        m_reported = at;
        m_reportAt = at < m_size && m_size - at > kBytesPerReport ? at + kBytesPerReport : m_size;
    }
    void report()
    {
        m_meter.work(pos > m_reported ? pos - m_reported : 0);
        setReported(pos);
    }
    // Moves past a comment, to the end of its line.
    void skipComment();
    [[gnu::always_inline]] void skipRegular()
    {
        for (;;) {
            const size_t stop = reportAt();
            while (pos < stop && isRegular(m_data[pos]))
                ++pos;
            if (pos < stop || pos >= m_size)
                return;
            report();
        }
    }

    [[gnu::always_inline]] void push(Type type, qint64 value = 0, quint32 extra = 0)
    {
        if (m_store)
            m_nodes->push(Node{type, quint32(m_nodes->items.size() + 1), value, extra}, m_meter);
    }
    std::vector<Node>& nodes() { return m_nodes->items; }
    std::string_view bytesOf(const Node& n) const { return std::string_view(m_data + n.value, n.extra); }
    // Whether the reader looks into an array or dictionary under `key` in an object's own
    // dictionary. Under any other key only the type of such a value is kept, not its contents:
    // a page's large arrays cost no nodes.
    static bool readsContents(std::string_view key);

    // Parts of object(), which the compiler inlines into it (they are defined in its file only).
    [[gnu::always_inline]] inline Parse name();
    [[gnu::always_inline]] inline Parse literalString();
    [[gnu::always_inline]] inline Parse hexString();
    [[gnu::always_inline]] inline Parse array(int depth);
    [[gnu::always_inline]] inline Parse dictionary(int depth);
    [[gnu::always_inline]] inline Parse numberOrKeyword();
    bool signedNumber(std::string_view w);

    const char* m_data;
    size_t m_size;
    bool m_atEnd;
    Nodes* m_nodes;
    Meter& m_meter;
    size_t m_reported = 0;
    size_t m_reportAt = 0;
    bool m_store = true; // false inside a container stored empty
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

// The bytes of a string node: hex digits paired (a last lone digit as if followed by 0), or a
// literal string with its escapes undone and its ends of line read as line feeds.
QByteArray stringValue(const Parsed& d, quint32 i);

} // namespace pdftree
