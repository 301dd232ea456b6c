#include "model/PdfSecurity.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace pdfsecurity {

namespace {

using Bytes = QByteArray;

const unsigned char kPadding[32] = {0x28, 0xbf, 0x4e, 0x5e, 0x4e, 0x75, 0x8a, 0x41, 0x64, 0x00, 0x4e,
                                    0x56, 0xff, 0xfa, 0x01, 0x08, 0x2e, 0x2e, 0x00, 0xb6, 0xd0, 0x68,
                                    0x3e, 0x80, 0x2f, 0x0c, 0xa9, 0xfe, 0x64, 0x53, 0x69, 0x7a};

const unsigned char* bytesOf(QByteArrayView data)
{
    return reinterpret_cast<const unsigned char*>(data.data());
}

// OpenSSL 3 looks an algorithm up by name on every implicit fetch (EVP_md5() and the like);
// fetched once, the lookups stay out of the loops below. Never freed: they live as long as
// the process.
const EVP_MD* fetchedDigest(const char* name)
{
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (!md)
        throw std::runtime_error(std::string("OpenSSL has no ") + name);
    return md;
}

const EVP_CIPHER* fetchedCipher(const char* name)
{
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
    if (!cipher)
        throw std::runtime_error(std::string("OpenSSL has no ") + name);
    return cipher;
}

const EVP_MD* md5Digest()
{
    static const EVP_MD* md = fetchedDigest("MD5");
    return md;
}

const EVP_CIPHER* aesCipher(size_t keyLength, bool cbc)
{
    static const EVP_CIPHER* cbc128 = fetchedCipher("AES-128-CBC");
    static const EVP_CIPHER* cbc192 = fetchedCipher("AES-192-CBC");
    static const EVP_CIPHER* cbc256 = fetchedCipher("AES-256-CBC");
    static const EVP_CIPHER* ecb128 = fetchedCipher("AES-128-ECB");
    static const EVP_CIPHER* ecb192 = fetchedCipher("AES-192-ECB");
    static const EVP_CIPHER* ecb256 = fetchedCipher("AES-256-ECB");
    if (keyLength == 32)
        return cbc ? cbc256 : ecb256;
    if (keyLength == 24)
        return cbc ? cbc192 : ecb192;
    return cbc ? cbc128 : ecb128;
}

struct DigestContextFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

void check(int status)
{
    if (status != 1)
        throw std::runtime_error("OpenSSL call failed");
}

// MD5 over several pieces, without copying them together.
class Md5 {
public:
    Md5() : m_context(EVP_MD_CTX_new())
    {
        if (!m_context)
            throw std::bad_alloc();
        check(EVP_DigestInit_ex2(m_context.get(), md5Digest(), nullptr));
    }
    Md5& add(QByteArrayView data)
    {
        check(EVP_DigestUpdate(m_context.get(), data.data(), size_t(data.size())));
        return *this;
    }
    std::array<unsigned char, 16> digest()
    {
        std::array<unsigned char, 16> out{};
        check(EVP_DigestFinal_ex(m_context.get(), out.data(), nullptr));
        return out;
    }

private:
    DigestContext m_context;
};

Bytes md5Of(QByteArrayView data)
{
    const auto d = Md5().add(data).digest();
    return Bytes(reinterpret_cast<const char*>(d.data()), 16);
}

// RC4, small enough to keep here: OpenSSL 3 moved it to the legacy provider, which a
// default installation does not load.
class Rc4 {
public:
    Rc4() = default;
    Rc4(const unsigned char* key, size_t length) { reset(key, length); }
    void reset(const unsigned char* key, size_t length)
    {
        for (int i = 0; i < 256; ++i)
            m_state[size_t(i)] = static_cast<unsigned char>(i);
        m_i = m_j = 0;
        if (length == 0)
            return;
        unsigned char j = 0;
        for (size_t i = 0; i < 256; ++i) {
            j = static_cast<unsigned char>(j + m_state[i] + key[i % length]);
            std::swap(m_state[i], m_state[j]);
        }
    }
    void process(const unsigned char* in, size_t length, unsigned char* out)
    {
        for (size_t k = 0; k < length; ++k) {
            m_i = static_cast<unsigned char>(m_i + 1);
            m_j = static_cast<unsigned char>(m_j + m_state[m_i]);
            std::swap(m_state[m_i], m_state[m_j]);
            out[k] = in[k] ^ m_state[static_cast<unsigned char>(m_state[m_i] + m_state[m_j])];
        }
    }

private:
    std::array<unsigned char, 256> m_state{};
    unsigned char m_i = 0;
    unsigned char m_j = 0;
};

Bytes rc4(QByteArrayView key, QByteArrayView data)
{
    Bytes out(data.size(), Qt::Uninitialized);
    Rc4(bytesOf(key), size_t(key.size()))
        .process(bytesOf(data), size_t(data.size()), reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

// The 20 passes of RC4 that revisions 3 and 4 apply to /U and /O, each with the key's bytes
// XORed with the pass number; `reverse` runs the passes from 19 down to 0.
Bytes rc4Passes(QByteArrayView key, Bytes data, bool reverse)
{
    Bytes passKey(key.size(), Qt::Uninitialized);
    for (int pass = 0; pass < 20; ++pass) {
        const int x = reverse ? 19 - pass : pass;
        for (qsizetype k = 0; k < key.size(); ++k)
            passKey[k] = char(key[k] ^ x);
        data = rc4(passKey, data);
    }
    return data;
}

// AES over whole blocks without padding; `iv` null for ECB.
bool aes(bool encrypt, QByteArrayView key, const unsigned char* iv, const unsigned char* in, size_t length,
         unsigned char* out, EVP_CIPHER_CTX* context)
{
    if ((key.size() != 16 && key.size() != 24 && key.size() != 32) || length > size_t(std::numeric_limits<int>::max()))
        return false;
    int written = 0;
    return EVP_CipherInit_ex2(context, aesCipher(size_t(key.size()), iv != nullptr), bytesOf(key), iv, encrypt ? 1 : 0,
                              nullptr) == 1 &&
           EVP_CIPHER_CTX_set_padding(context, 0) == 1 &&
           EVP_CipherUpdate(context, out, &written, in, int(length)) == 1 && size_t(written) == length;
}

CipherContext newCipherContext()
{
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context)
        throw std::bad_alloc();
    return context;
}

int keyLengthBytes(const Encryption& e)
{
    if (e.r >= 5)
        return 32;
    if (e.r == 2 || e.v <= 1)
        return 5;
    if (e.v == 4)
        return 16;
    return e.lengthBits / 8;
}

Bytes paddedPassword(const QByteArray& password)
{
    Bytes padded = password.left(32);
    padded.append(reinterpret_cast<const char*>(kPadding), 32 - padded.size());
    return padded;
}

// Algorithm 2: the file key of revisions 2 to 4 from a (user) password.
Bytes legacyFileKey(const Encryption& e, const QByteArray& password)
{
    const int n = keyLengthBytes(e);
    const quint32 p = quint32(e.p);
    const char pBytes[4] = {char(p & 0xff), char((p >> 8) & 0xff), char((p >> 16) & 0xff), char((p >> 24) & 0xff)};
    Md5 md5;
    md5.add(paddedPassword(password)).add(QByteArrayView(e.o).first(32)).add(QByteArrayView(pBytes, 4)).add(e.fileId);
    if (e.r >= 4 && !e.encryptMetadata)
        md5.add("\xff\xff\xff\xff");
    auto digest = md5.digest();
    if (e.r >= 3) {
        for (int i = 0; i < 50; ++i)
            digest = Md5().add(QByteArrayView(reinterpret_cast<const char*>(digest.data()), n)).digest();
    }
    return Bytes(reinterpret_cast<const char*>(digest.data()), n);
}

// Algorithms 4 and 5: whether `key` reproduces /U.
bool legacyUserKeyMatches(const Encryption& e, const Bytes& key)
{
    if (e.r == 2)
        return rc4(key, QByteArrayView(reinterpret_cast<const char*>(kPadding), 32)) == QByteArrayView(e.u).first(32);
    const Bytes first = md5Of(Bytes(reinterpret_cast<const char*>(kPadding), 32) + e.fileId);
    return rc4Passes(key, first, false) == QByteArrayView(e.u).first(16);
}

// Algorithm 7's first half: the user password that /O holds under `ownerPassword`.
Bytes legacyUserPasswordFromOwner(const Encryption& e, const QByteArray& ownerPassword)
{
    auto digest = Md5().add(paddedPassword(ownerPassword)).digest();
    if (e.r >= 3) {
        for (int i = 0; i < 50; ++i)
            digest = Md5().add(QByteArrayView(reinterpret_cast<const char*>(digest.data()), 16)).digest();
    }
    const Bytes key(reinterpret_cast<const char*>(digest.data()), keyLengthBytes(e));
    const Bytes o = e.o.left(32);
    return e.r == 2 ? rc4(key, o) : rc4Passes(key, o, true);
}

// The hash of revisions 5 (SHA-256) and 6 (algorithm 2.B) over password, salt and, for the
// owner, the 48 bytes of /U. Returns 32 bytes.
std::array<unsigned char, 32> revision56Hash(int r, QByteArrayView password, QByteArrayView salt,
                                             QByteArrayView userData)
{
    password = password.first(std::min<qsizetype>(password.size(), 127));
    unsigned char k[64];
    size_t kLength = 32;
    {
        Bytes input;
        input.reserve(password.size() + salt.size() + userData.size());
        input.append(password).append(salt).append(userData);
        SHA256(bytesOf(input), size_t(input.size()), k);
    }
    std::array<unsigned char, 32> result{};
    if (r == 6) {
        CipherContext context = newCipherContext();
        // K1 is (password, K, user data) 64 times over; at most 64 * (127 + 64 + 48) bytes.
        std::vector<unsigned char> k1;
        std::vector<unsigned char> e;
        for (int round = 0;; ++round) {
            const size_t unit = size_t(password.size()) + kLength + size_t(userData.size());
            k1.resize(unit * 64);
            unsigned char* u = k1.data();
            if (!password.isEmpty()) // the empty password's data may be null, which memcpy may not take
                std::memcpy(u, password.data(), size_t(password.size()));
            std::memcpy(u + password.size(), k, kLength);
            if (!userData.isEmpty())
                std::memcpy(u + size_t(password.size()) + kLength, userData.data(), size_t(userData.size()));
            for (int copy = 1; copy < 64; ++copy)
                std::memcpy(u + unit * size_t(copy), u, unit);
            e.resize(k1.size());
            if (!aes(true, QByteArrayView(reinterpret_cast<const char*>(k), 16), k + 16, k1.data(), k1.size(), e.data(),
                     context.get()))
                throw std::runtime_error("AES failed");
            // The first 16 bytes of E as a big-endian number modulo 3: as 256 = 1 (mod 3),
            // the sum of the bytes modulo 3.
            unsigned sum = 0;
            for (int i = 0; i < 16; ++i)
                sum += e[size_t(i)];
            switch (sum % 3) {
            case 0:
                SHA256(e.data(), e.size(), k);
                kLength = 32;
                break;
            case 1:
                SHA384(e.data(), e.size(), k);
                kLength = 48;
                break;
            default:
                SHA512(e.data(), e.size(), k);
                kLength = 64;
                break;
            }
            if (round >= 63 && e.back() <= round + 1 - 32)
                break;
        }
    }
    std::memcpy(result.data(), k, 32);
    return result;
}

bool hashMatches(const std::array<unsigned char, 32>& hash, QByteArrayView expected)
{
    return expected.size() >= 32 && std::memcmp(hash.data(), expected.data(), 32) == 0;
}

enum class Opens { No, AsUser, AsOwner };

// One password check: the user password first (what an unlocked document has), the owner
// password only when that fails.
Opens checkPassword(const Encryption& e, const QByteArray& password)
{
    if (e.r >= 5) {
        const QByteArrayView u(e.u), o(e.o);
        if (hashMatches(revision56Hash(e.r, password, u.sliced(32, 8), {}), u))
            return Opens::AsUser;
        if (hashMatches(revision56Hash(e.r, password, o.sliced(32, 8), u.first(48)), o))
            return Opens::AsOwner;
        return Opens::No;
    }
    if (legacyUserKeyMatches(e, legacyFileKey(e, password)))
        return Opens::AsUser;
    if (legacyUserKeyMatches(e, legacyFileKey(e, legacyUserPasswordFromOwner(e, password))))
        return Opens::AsOwner;
    return Opens::No;
}

std::optional<Bytes> checkedFileKey(const Encryption& e, const QByteArray& password)
{
    if (e.r >= 5) {
        const QByteArrayView u(e.u), o(e.o);
        const Opens opens = checkPassword(e, password);
        if (opens == Opens::No)
            return std::nullopt;
        const bool user = opens == Opens::AsUser;
        const auto intermediate = user ? revision56Hash(e.r, password, u.sliced(40, 8), {})
                                       : revision56Hash(e.r, password, o.sliced(40, 8), u.first(48));
        const QByteArrayView wrapped = user ? QByteArrayView(e.ue) : QByteArrayView(e.oe);
        const unsigned char zeroIv[16] = {};
        Bytes key(32, Qt::Uninitialized);
        CipherContext context = newCipherContext();
        if (!aes(false, QByteArrayView(reinterpret_cast<const char*>(intermediate.data()), 32), zeroIv,
                 bytesOf(wrapped), 32, reinterpret_cast<unsigned char*>(key.data()), context.get()))
            return std::nullopt;
        return key;
    }
    const Bytes asUser = legacyFileKey(e, password);
    if (legacyUserKeyMatches(e, asUser))
        return asUser;
    const Bytes asOwner = legacyFileKey(e, legacyUserPasswordFromOwner(e, password));
    if (legacyUserKeyMatches(e, asOwner))
        return asOwner;
    return std::nullopt;
}

} // namespace

bool isSupported(const Encryption& e)
{
    if (e.filter != "Standard")
        return false;
    switch (e.r) {
    case 2:
    case 3:
        if (e.v < 1 || e.v > 2 || (e.v == 2 && (e.lengthBits < 40 || e.lengthBits > 128 || e.lengthBits % 8 != 0)))
            return false;
        return e.o.size() >= 32 && e.u.size() >= 32;
    case 4:
        return e.v == 4 && e.o.size() >= 32 && e.u.size() >= 32 &&
               (e.streamMethod == Method::Rc4 || e.streamMethod == Method::AesV2 || e.streamMethod == Method::None);
    case 5:
    case 6:
        return e.v == 5 && e.o.size() >= 48 && e.u.size() >= 48 && e.oe.size() >= 32 && e.ue.size() >= 32 &&
               (e.streamMethod == Method::AesV3 || e.streamMethod == Method::None);
    default:
        return false;
    }
}

bool passwordOpens(const Encryption& encryption, const QByteArray& password)
{
    return isSupported(encryption) && checkPassword(encryption, password) != Opens::No;
}

std::optional<QByteArray> fileKey(const Encryption& encryption, const QByteArray& password)
{
    if (!isSupported(encryption))
        return std::nullopt;
    return checkedFileKey(encryption, password);
}

std::optional<QByteArray> decryptStream(const Encryption& encryption, const QByteArray& key, int number, int generation,
                                        QByteArrayView data)
{
    Method method = encryption.streamMethod;
    if (encryption.v < 4)
        method = Method::Rc4;
    if (method == Method::None)
        return QByteArray(data.data(), data.size());
    if (method == Method::Unknown)
        return std::nullopt;
    // An AES file key has its method's size; the object key of AESV2 would hide a wrong one.
    if ((method == Method::AesV2 && key.size() != 16) || (method == Method::AesV3 && key.size() != 32))
        return std::nullopt;

    // Algorithm 1: below revision 5 every object has a key of its own.
    Bytes objectKey = key;
    if (method != Method::AesV3) {
        const char suffix[5] = {char(number & 0xff), char((number >> 8) & 0xff), char((number >> 16) & 0xff),
                                char(generation & 0xff), char((generation >> 8) & 0xff)};
        Md5 md5;
        md5.add(key).add(QByteArrayView(suffix, 5));
        if (method == Method::AesV2)
            md5.add("sAlT");
        const auto digest = md5.digest();
        objectKey = Bytes(reinterpret_cast<const char*>(digest.data()), std::min<qsizetype>(key.size() + 5, 16));
    }
    if (method == Method::Rc4)
        return rc4(objectKey, data);

    // AES in CBC mode: the initialisation vector in front, PKCS#5 padding behind.
    if (data.size() < 32 || data.size() % 16 != 0)
        return std::nullopt;
    Bytes plain(data.size() - 16, Qt::Uninitialized);
    CipherContext context = newCipherContext();
    if (!aes(false, objectKey, bytesOf(data), bytesOf(data) + 16, size_t(plain.size()),
             reinterpret_cast<unsigned char*>(plain.data()), context.get()))
        return std::nullopt;
    const int pad = static_cast<unsigned char>(plain.back());
    if (pad < 1 || pad > 16)
        return std::nullopt;
    for (int i = 1; i <= pad; ++i) {
        if (static_cast<unsigned char>(plain[plain.size() - i]) != pad)
            return std::nullopt;
    }
    plain.chop(pad);
    return plain;
}

} // namespace pdfsecurity
