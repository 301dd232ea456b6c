#include "model/PdfSecurity.h"
#include "support/Fixtures.h"
#include "support/QpdfEncryption.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>

#include <functional>
#include <memory>
#include <numeric>
#include <string>

namespace {

using fixtures::encryptionOf;
using pdfsecurity::Encryption;
using pdfsecurity::Method;

QByteArray bytes(const std::string& s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}
QByteArray bytes(const std::shared_ptr<Buffer>& b)
{
    return QByteArray(reinterpret_cast<const char*>(b->getBuffer()), qsizetype(b->getSize()));
}

// A page's content stream: its bytes as the file holds them (encrypted) and as qpdf decrypts
// them (still Flate-encoded or not, as written).
struct ContentStream {
    QPDFObjGen id;
    QByteArray encrypted;
    QByteArray plain;
};

ContentStream firstContentStream(QPDF& pdf, const QString& path)
{
    QPDFObjectHandle page = pdf.getAllPages().at(0);
    QPDFObjectHandle stream = page.getKey("/Contents");
    ContentStream c;
    c.id = stream.getObjGen();
    c.plain = bytes(stream.getRawStreamData());
    const QByteArray file = fixtures::readBytes(path);
    const qsizetype objectAt = qsizetype(pdf.getXRefTable().at(c.id).getOffset());
    qsizetype data = file.indexOf("stream", objectAt) + 6;
    data += file.at(data) == '\r' ? 2 : 1;
    c.encrypted = file.mid(data, stream.getDict().getKey("/Length").getIntValueAsInt());
    return c;
}

// Rewrites an unencrypted file with one of qpdf's encryptions.
bool encryptWithQpdf(const QString& from, const QString& to, const std::function<void(QPDFWriter&)>& setUp)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(from).constData());
    QPDFWriter writer(pdf, QFile::encodeName(to).constData());
    writer.setStaticID(true);
    setUp(writer);
    writer.write();
    return true;
}

enum class Kind { Rc4_40, Rc4_128, Rc4_128_R4_PlainMetadata, Aes128, Aes256_R5, Aes256_R6 };

struct Case {
    Kind kind;
    const char* name;
    int r;
    Method method;
};

const Case kCases[] = {
    {Kind::Rc4_40, "RC4-40, R2", 2, Method::Rc4},
    {Kind::Rc4_128, "RC4-128, R3", 3, Method::Rc4},
    {Kind::Rc4_128_R4_PlainMetadata, "RC4-128, R4, metadata in the clear", 4, Method::Rc4},
    {Kind::Aes128, "AES-128, R4", 4, Method::AesV2},
    {Kind::Aes256_R5, "AES-256, R5", 5, Method::AesV3},
    {Kind::Aes256_R6, "AES-256, R6", 6, Method::AesV3},
};

QString writeEncrypted(const QTemporaryDir& dir, Kind kind, const QString& user, const QString& owner)
{
    const QString path = dir.filePath(QStringLiteral("encrypted-%1-%2.pdf").arg(int(kind)).arg(user));
    auto viaFixtures = [&](fixtures::PdfEncryption encryption) {
        return fixtures::writePdf(path,
                                  {.pages = 2, .encryption = encryption, .userPassword = user, .ownerPassword = owner})
                   ? path
                   : QString();
    };
    switch (kind) {
    case Kind::Rc4_128:
        return viaFixtures(fixtures::PdfEncryption::Rc4_128);
    case Kind::Aes128:
        return viaFixtures(fixtures::PdfEncryption::Aes128);
    case Kind::Aes256_R6:
        return viaFixtures(fixtures::PdfEncryption::Aes256);
    default:
        break;
    }
    const QString plain = dir.filePath(QStringLiteral("plain.pdf"));
    if (!fixtures::writePdf(plain, {.pages = 2}))
        return {};
    const std::string u = user.toStdString(), o = owner.toStdString();
    encryptWithQpdf(plain, path, [&](QPDFWriter& w) {
        if (kind == Kind::Rc4_40)
            w.setR2EncryptionParametersInsecure(u.c_str(), o.c_str(), true, true, true, true);
        else if (kind == Kind::Rc4_128_R4_PlainMetadata)
            w.setR4EncryptionParametersInsecure(u.c_str(), o.c_str(), true, true, true, true, true, true, qpdf_r3p_full,
                                                false, false);
        else
            w.setR5EncryptionParameters(u.c_str(), o.c_str(), true, true, true, true, true, true, qpdf_r3p_full, true);
    });
    return path;
}

// Against qpdf, for every revision, with an empty and a set user password: which passwords
// open the file, the key each gives, and a stream decrypted with it.
TEST(PdfSecurity, AgreesWithQpdfOnEveryRevision)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const Case& c : kCases) {
        for (const QString& user : {QString(), QStringLiteral("user pass")}) {
            SCOPED_TRACE(std::string(c.name) + (user.isEmpty() ? ", empty user password" : ", user password"));
            const QString path = writeEncrypted(dir, c.kind, user, QStringLiteral("owner pass"));
            ASSERT_FALSE(path.isEmpty());

            QPDF pdf;
            pdf.processFile(QFile::encodeName(path).constData(), "owner pass");
            const Encryption e = encryptionOf(pdf);
            EXPECT_EQ(e.r, c.r);
            EXPECT_EQ(e.streamMethod, c.method);
            EXPECT_TRUE(pdfsecurity::isSupported(e));
            const QByteArray qpdfKey = bytes(pdf.getEncryptionKey());

            EXPECT_EQ(pdfsecurity::passwordOpens(e, ""), user.isEmpty());
            EXPECT_TRUE(pdfsecurity::passwordOpens(e, user.toUtf8()));
            EXPECT_TRUE(pdfsecurity::passwordOpens(e, "owner pass"));
            EXPECT_FALSE(pdfsecurity::passwordOpens(e, "owner pas"));
            EXPECT_FALSE(pdfsecurity::passwordOpens(e, "wrong"));

            EXPECT_EQ(pdfsecurity::fileKey(e, user.toUtf8()), qpdfKey);
            EXPECT_EQ(pdfsecurity::fileKey(e, "owner pass"), qpdfKey);
            EXPECT_EQ(pdfsecurity::fileKey(e, "wrong"), std::nullopt);

            const ContentStream stream = firstContentStream(pdf, path);
            ASSERT_FALSE(stream.plain.isEmpty());
            EXPECT_NE(stream.encrypted, stream.plain);
            EXPECT_EQ(pdfsecurity::decryptStream(e, qpdfKey, stream.id.getObj(), stream.id.getGen(), stream.encrypted),
                      stream.plain);
        }
    }
}

// AES streams the module must refuse rather than hand back garbage: too short for the
// initialisation vector and one block, not whole blocks, padding that does not check out.
TEST(PdfSecurity, RefusesDamagedAesStreams)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const Kind kind : {Kind::Aes128, Kind::Aes256_R6}) {
        const QString path = writeEncrypted(dir, kind, {}, QStringLiteral("owner"));
        QPDF pdf;
        pdf.processFile(QFile::encodeName(path).constData());
        const Encryption e = encryptionOf(pdf);
        const QByteArray key = bytes(pdf.getEncryptionKey());
        const ContentStream s = firstContentStream(pdf, path);
        const int n = s.id.getObj(), g = s.id.getGen();
        ASSERT_EQ(pdfsecurity::decryptStream(e, key, n, g, s.encrypted), s.plain);

        EXPECT_EQ(pdfsecurity::decryptStream(e, key, n, g, {}), std::nullopt);
        EXPECT_EQ(pdfsecurity::decryptStream(e, key, n, g, s.encrypted.left(16)), std::nullopt);
        EXPECT_EQ(pdfsecurity::decryptStream(e, key, n, g, s.encrypted.chopped(1)), std::nullopt);
        // The last byte of the block before the last flips the last plain byte: the pad length.
        QByteArray badPadding = s.encrypted;
        badPadding[badPadding.size() - 17] = char(badPadding[badPadding.size() - 17] ^ 0x80);
        EXPECT_EQ(pdfsecurity::decryptStream(e, key, n, g, badPadding), std::nullopt);
        // A key of the wrong size for the method.
        EXPECT_EQ(pdfsecurity::decryptStream(e, key.left(5), n, g, s.encrypted), std::nullopt);
        EXPECT_EQ(pdfsecurity::decryptStream(e, key + key, n, g, s.encrypted), std::nullopt);
        // Another object's key decrypts below revision 5 to other bytes, or fails the padding.
        if (e.r < 5) {
            EXPECT_NE(pdfsecurity::decryptStream(e, key, n + 1, g, s.encrypted), s.plain);
        }
    }
}

TEST(PdfSecurity, HandlesOnlyWhatItKnows)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QPDF pdf;
    pdf.processFile(QFile::encodeName(writeEncrypted(dir, Kind::Aes256_R6, {}, "owner")).constData());
    const Encryption good = encryptionOf(pdf);
    ASSERT_TRUE(pdfsecurity::passwordOpens(good, ""));

    auto changed = [&](const std::function<void(Encryption&)>& change) {
        Encryption e = good;
        change(e);
        return e;
    };
    const Encryption refused[] = {
        changed([](Encryption& e) { e.filter = "Adobe.PubSec"; }),
        changed([](Encryption& e) { e.r = 7; }),
        changed([](Encryption& e) { e.v = 4; }),
        changed([](Encryption& e) { e.streamMethod = Method::Unknown; }),
        changed([](Encryption& e) { e.ue.chop(1); }),
        changed([](Encryption& e) { e.u.truncate(40); }),
        changed([](Encryption& e) { e.o.clear(); }),
        changed([](Encryption& e) { e.r = 3, e.v = 2, e.lengthBits = 44; }),
    };
    for (const Encryption& e : refused) {
        EXPECT_FALSE(pdfsecurity::isSupported(e));
        EXPECT_FALSE(pdfsecurity::passwordOpens(e, ""));
        EXPECT_EQ(pdfsecurity::fileKey(e, ""), std::nullopt);
    }
}

} // namespace
