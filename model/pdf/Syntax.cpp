#include "model/pdf/Syntax.h"

namespace pdftree {

void Parser::skipComment()
{
    for (;;) {
        const size_t stop = reportAt();
        while (pos < stop && m_data[pos] != '\r' && m_data[pos] != '\n')
            ++pos;
        if (pos < stop || pos >= m_size)
            return;
        report();
    }
}

Parse Parser::name()
{
    const size_t start = ++pos;
    skipRegular();
    if (pos == m_size && !m_atEnd)
        return Parse::Short;
    push(Type::Name, qint64(start), quint32(pos - start));
    return Parse::Ok;
}

Parse Parser::literalString()
{
    const size_t start = ++pos;
    int open = 1;
    while (pos < m_size) {
        if (pos >= m_reportAt)
            report();
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

Parse Parser::hexString()
{
    const size_t start = ++pos;
    while (pos < m_size) {
        if (pos >= m_reportAt)
            report();
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

Parse Parser::array(int depth)
{
    ++pos;
    const size_t self = nodes().size();
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
    if (m_store)
        nodes()[self].end = quint32(nodes().size());
    return Parse::Ok;
}

Parse Parser::dictionary(int depth)
{
    pos += 2;
    const size_t self = nodes().size();
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
        if (depth == 0 && m_store &&
            (m_data[pos] == '[' || (m_data[pos] == '<' && pos + 1 < m_size && m_data[pos + 1] == '<')) &&
            !readsContents(bytesOf(nodes().back()))) {
            // Stored as an empty container of its type; its contents are only checked.
            push(m_data[pos] == '[' ? Type::Array : Type::Dict);
            m_store = false;
            const Parse p = object(depth + 1);
            m_store = true;
            if (p != Parse::Ok)
                return p;
            continue;
        }
        if (const Parse p = object(depth + 1); p != Parse::Ok)
            return p;
    }
    if (m_store)
        nodes()[self].end = quint32(nodes().size());
    return Parse::Ok;
}

bool Parser::readsContents(std::string_view key)
{
    return key == "Kids" || key == "W" || key == "Index" || key == "ID" || key == "Filter" || key == "DecodeParms" ||
           key == "CF";
}

Parse Parser::numberOrKeyword()
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
bool Parser::signedNumber(std::string_view w)
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

Parse Parser::object(int depth)
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

} // namespace pdftree
