#pragma once

// The standard security handler's values of a PDF that qpdf has opened, as the security module
// takes them.

#include "model/PdfSecurity.h"

#include <qpdf/QPDF.hh>

#include <string>

namespace fixtures {

inline QByteArray qpdfBytes(const std::string& s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}

// From the trailer's /Encrypt dictionary and /ID, read with qpdf's object API.
inline pdfsecurity::Encryption encryptionOf(QPDF& pdf)
{
    using pdfsecurity::Method;
    QPDFObjectHandle trailer = pdf.getTrailer(), dict = trailer.getKey("/Encrypt");
    const auto string = [&](const char* key) {
        QPDFObjectHandle value = dict.getKey(key);
        return value.isString() ? qpdfBytes(value.getStringValue()) : QByteArray();
    };
    pdfsecurity::Encryption e{qpdfBytes(dict.getKey("/Filter").getName()).mid(1), dict.getKey("/V").getIntValueAsInt(),
                              dict.getKey("/R").getIntValueAsInt()};
    if (dict.getKey("/Length").isInteger())
        e.lengthBits = dict.getKey("/Length").getIntValueAsInt();
    e.o = string("/O"), e.u = string("/U"), e.oe = string("/OE"), e.ue = string("/UE"), e.perms = string("/Perms");
    e.p = qint32(dict.getKey("/P").getIntValue());
    if (dict.getKey("/EncryptMetadata").isBool())
        e.encryptMetadata = dict.getKey("/EncryptMetadata").getBoolValue();
    if (e.v >= 4) {
        const std::string filter = dict.getKey("/StmF").getName();
        const std::string cfm = dict.getKey("/CF").getKey(filter).getKey("/CFM").getName();
        e.streamMethod = filter == "/Identity" ? Method::None
                         : cfm == "/V2"        ? Method::Rc4
                         : cfm == "/AESV2"     ? Method::AesV2
                         : cfm == "/AESV3"     ? Method::AesV3
                                               : Method::Unknown;
    }
    e.fileId = qpdfBytes(trailer.getKey("/ID").getArrayItem(0).getStringValue());
    return e;
}

} // namespace fixtures
