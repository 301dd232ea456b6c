#pragma once

// The security piece: the standard security handler's values read from a document's /Encrypt
// dictionary, whether the password opens the document, and the decryption of object streams
// with the file key, derived once, for the first stream that needs it. The page tree's
// dictionaries themselves are never encrypted; only object streams need the key.

#include "model/PdfSecurity.h"
#include "model/pdf/Syntax.h"

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

namespace pdftree {

class Encryption {
public:
    // Reads the /Encrypt dictionary at node 0 of `d`, with `fileId`, the first string of the
    // trailer's /ID. False when the dictionary is not understood or its handler not supported.
    bool read(const Parsed& d, const QByteArray& fileId);

    // Tries `password` as the user or owner password; isLocked() then tells.
    void open(const QByteArray& password);
    bool isLocked() const { return m_locked; }
    // A stream needed the key, which the password does not give.
    bool keyMissing() const { return m_keyMissing; }
    // Object streams are encrypted (cross-reference streams never are).
    bool encryptsStreams() const;

    // The plain data of stream object `number` (generation 0); none when it cannot be decrypted.
    std::optional<QByteArray> decrypt(quint32 number, QByteArrayView data);

private:
    pdfsecurity::Encryption m_values;
    QByteArray m_password;
    QByteArray m_key;
    bool m_locked = false;
    bool m_keyMissing = false;
};

} // namespace pdftree
