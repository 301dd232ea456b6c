#pragma once

// PDF syntax: the tokens and objects of a byte range, parsed into a flat list of nodes. The
// parser accepts only well-formed syntax; where qpdf would warn and repair, it says Bad, and
// the reader leaves the file to qpdf. It reads nothing outside the range it is given, and says
// Short when the range ends before the syntax does, so that the caller may retry with more bytes.

#include <QByteArray>
#include <QtGlobal>

#include <string_view>
#include <vector>

namespace pdftree {

// Past these the file is left to qpdf: no real file comes near them.
constexpr int kMaxNesting = 64; // arrays and dictionaries within one object
constexpr quint32 kMaxObjectNumber = 8 * 1024 * 1024;

// White space between tokens, as qpdf's tokenizer has it (with vertical tab and NUL).
inline bool isSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\v' || c == '\0';
}

// White space where qpdf looks for "xref" (no NUL).
inline bool isXrefSpace(char c)
{
    return c != '\0' && isSpace(c);
}

inline bool isDelimiter(char c)
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

inline bool isRegular(char c)
{
    return !isSpace(c) && !isDelimiter(c);
}

inline bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

inline bool isHexDigit(char c)
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

// Parses PDF syntax out of a byte range into nodes, appended to `nodes`.
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
    void push(Type type, qint64 value = 0, quint32 extra = 0)
    {
        m_nodes.push_back(Node{type, quint32(m_nodes.size() + 1), value, extra});
    }

    Parse name();
    Parse literalString();
    Parse hexString();
    Parse array(int depth);
    Parse dictionary(int depth);
    Parse numberOrKeyword();
    bool signedNumber(std::string_view w);

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

// The bytes of a string node: hex digits paired (a last lone digit as if followed by 0), or a
// literal string with its escapes undone and its ends of line read as line feeds.
QByteArray stringValue(const Parsed& d, quint32 i);

} // namespace pdftree
