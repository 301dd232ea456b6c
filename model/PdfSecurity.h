#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <optional>

// The standard security handler of PDF: whether a password opens a document, the file key it
// gives, and the decryption of a stream with that key. The values come from the document's
// /Encrypt dictionary and the first element of its trailer's /ID, as the file holds them.
namespace pdfsecurity {

enum class Method {
    None,   // /Identity: not encrypted
    Rc4,    // /V2 crypt filter, or V 1 and 2
    AesV2,  // AES-128
    AesV3,  // AES-256
    Unknown // anything else: not handled here
};

struct Encryption {
    QByteArray filter; // "Standard" for the standard handler (name without the slash)
    int v = 0;
    int r = 0;
    int lengthBits = 40; // /Length, for V 2 and 3 (and the /V2 crypt filter)
    QByteArray o, u, oe, ue, perms;
    qint32 p = 0;
    bool encryptMetadata = true;
    Method streamMethod = Method::Rc4; // from /StmF through /CF for V 4 and 5
    QByteArray fileId;                 // first element of the trailer's /ID
};

// True when this module handles the document's encryption at all.
bool isSupported(const Encryption& encryption);

// Whether `password` opens the document as its user or its owner password. Costs one password
// check, not the derivation of the file key where the two differ (revision 6).
bool passwordOpens(const Encryption& encryption, const QByteArray& password);

// The file key that `password` gives, as user or owner password; none when it opens nothing.
std::optional<QByteArray> fileKey(const Encryption& encryption, const QByteArray& password);

// The plain data of stream object (number, generation) encrypted with `key`; none when the
// data cannot be decrypted (an AES key not of its method's size, an AES stream shorter than its
// initialisation vector and one block, bad padding).
std::optional<QByteArray> decryptStream(const Encryption& encryption, const QByteArray& key, int number, int generation,
                                        QByteArrayView data);

} // namespace pdfsecurity
