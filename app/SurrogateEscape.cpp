#include "app/SurrogateEscape.h"

namespace {

// The length of the valid UTF-8 sequence at `p[0]` (at most `left` bytes), 0 when there is none:
// no overlong forms, no surrogates, nothing past U+10FFFF.
int sequenceLength(const unsigned char* p, qsizetype left)
{
    const unsigned char b = p[0];
    if (b < 0x80)
        return 1;
    int length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        low = b == 0xE0 ? 0xA0 : 0x80;
        high = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        low = b == 0xF0 ? 0x90 : 0x80;
        high = b == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || left < length || p[1] < low || p[1] > high)
        return 0;
    for (int i = 2; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

} // namespace

QString decodeSurrogateEscape(QByteArrayView bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype n = bytes.size();
    QString text;
    text.reserve(n);
    qsizetype run = 0; // start of the valid bytes not yet decoded
    for (qsizetype i = 0; i < n;) {
        if (const int length = sequenceLength(p + i, n - i)) {
            i += length;
            continue;
        }
        text += QString::fromUtf8(bytes.sliced(run, i - run));
        text += QChar(char16_t(0xDC00 + p[i]));
        run = ++i;
    }
    text += QString::fromUtf8(bytes.sliced(run));
    return text;
}

bool isEscapedByte(QStringView text, qsizetype index)
{
    const char16_t unit = text[index].unicode();
    return unit >= 0xDC80 && unit <= 0xDCFF && (index == 0 || !QChar::isHighSurrogate(text[index - 1].unicode()));
}

QByteArray encodeSurrogateEscape(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    qsizetype run = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isEscapedByte(text, i))
            continue;
        bytes += text.sliced(run, i - run).toUtf8();
        bytes += char(text[i].unicode() - 0xDC00);
        run = i + 1;
    }
    bytes += text.sliced(run).toUtf8();
    return bytes;
}
