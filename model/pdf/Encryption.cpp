#include "model/pdf/Encryption.h"

#include <limits>
#include <string_view>

namespace pdftree {

bool Encryption::read(const Parsed& d, const QByteArray& fileId)
{
    bool ok = true;
    pdfsecurity::Encryption& e = m_values;
    e.fileId = fileId;
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
    return ok && pdfsecurity::isSupported(e);
}

void Encryption::open(const QByteArray& password)
{
    m_password = password;
    m_locked = !pdfsecurity::passwordOpens(m_values, password);
}

bool Encryption::encryptsStreams() const
{
    return !(m_values.v >= 4 && m_values.streamMethod == pdfsecurity::Method::None);
}

std::optional<QByteArray> Encryption::decrypt(quint32 number, QByteArrayView data)
{
    if (m_locked) {
        m_keyMissing = true;
        return std::nullopt;
    }
    if (m_key.isEmpty()) {
        const std::optional<QByteArray> key = pdfsecurity::fileKey(m_values, m_password);
        if (!key || key->isEmpty())
            return std::nullopt;
        m_key = *key;
    }
    return pdfsecurity::decryptStream(m_values, m_key, int(number), 0, data);
}

} // namespace pdftree
