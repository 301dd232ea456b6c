#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// File names on Linux are bytes, mostly but not always UTF-8. These two carry such bytes
// through a QString without loss, as Python's "surrogateescape" error handler does: each byte
// that is not part of a valid UTF-8 sequence becomes the lone low surrogate U+DC80..U+DCFF and
// turns back into that byte on the way out.

// The text of `bytes`: valid UTF-8 decoded, every other byte b as the code unit 0xDC00 + b.
QString decodeSurrogateEscape(QByteArrayView bytes);

// `text` as UTF-8, each lone surrogate U+DC80..U+DCFF written as the byte it stands for, so that
// encodeSurrogateEscape(decodeSurrogateEscape(b)) == b for all bytes b. Any other lone surrogate
// (decoding never makes one) is written as QString::toUtf8 writes it.
QByteArray encodeSurrogateEscape(QStringView text);

// True when the code unit of `text` at `index` stands for a byte: a low surrogate U+DC80..U+DCFF
// that is not the second half of a pair.
bool isEscapedByte(QStringView text, qsizetype index);
