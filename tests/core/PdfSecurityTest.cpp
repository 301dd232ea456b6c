// The standard security handler where counting alone would not show it at fault: AES streams of
// every length against OpenSSL, damaged ones, and encryption it must not take on. (Every revision
// is counted, with each kind of password, among the builder's kinds of file.)

#include "model/PdfSecurity.h"
#include "support/Fixtures.h"
#include "support/QpdfEncryption.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>

#include <functional>

namespace {

using fixtures::PdfEncryption;
using pdfsecurity::Encryption;
using pdfsecurity::Method;

// A one-page file qpdf encrypts with `encryption`, its owner password "owner pass", opened with it.
struct Encrypted {
    QByteArray file;
    QPDF pdf;
    Encryption e;
    QByteArray key; // qpdf's file key
    Encrypted(PdfEncryption encryption, const QString& user)
    {
        QTemporaryDir dir;
        EXPECT_TRUE(fixtures::writePdf(
            dir.filePath("e.pdf"), {.encryption = encryption, .userPassword = user, .ownerPassword = "owner pass"}));
        file = fixtures::readBytes(dir.filePath("e.pdf"));
        pdf.processMemoryFile("encrypted", file.constData(), size_t(file.size()), "owner pass");
        e = fixtures::encryptionOf(pdf);
        key = fixtures::qpdfBytes(pdf.getEncryptionKey());
    }
};

// AES data of every length, encrypted by OpenSSL under the object key qpdf derives, comes back
// whatever its padding; data too short, not whole blocks, badly padded or under a key not of the
// method's size is refused rather than handed back as garbage.
TEST(PdfSecurity, DecryptsAesStreamsOfEveryLengthAndRefusesDamagedOnes)
{
    for (const PdfEncryption encryption : {PdfEncryption::Aes128, PdfEncryption::Aes256}) {
        const Encrypted f(encryption, {});
        const std::string key = QPDF::compute_data_key(f.key.toStdString(), 7, 1, true, f.e.v, f.e.r);
        for (int length = 0; length <= 33; ++length) {
            const QByteArray plain(length, char('a' + length)), iv(16, char(length));
            QByteArray data = iv + QByteArray(length + 16, '\0');
            const auto out = reinterpret_cast<unsigned char*>(data.data()) + 16;
            int written = 0, last = 0;
            EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
            EVP_EncryptInit_ex(context, key.size() == 32 ? EVP_aes_256_cbc() : EVP_aes_128_cbc(), nullptr,
                               reinterpret_cast<const unsigned char*>(key.data()),
                               reinterpret_cast<const unsigned char*>(iv.data()));
            EVP_EncryptUpdate(context, out, &written, reinterpret_cast<const unsigned char*>(plain.data()), length);
            EVP_EncryptFinal_ex(context, out + written, &last);
            EVP_CIPHER_CTX_free(context);
            data.truncate(16 + written + last);
            ASSERT_EQ(pdfsecurity::decryptStream(f.e, f.key, 7, 1, data), plain) << length;
            if (length != 17)
                continue;
            // A byte of the first block flips the same byte of the last plain one: the pad length
            // (15 here), or the first of the pad bytes.
            QByteArray badLength = data, badByte = data;
            badLength[31] = char(badLength[31] ^ 0x80);
            badByte[17] = char(badByte[17] ^ 1);
            for (const QByteArray& damaged : {QByteArray(), data.left(16), data.chopped(1), badLength, badByte})
                EXPECT_EQ(pdfsecurity::decryptStream(f.e, f.key, 7, 1, damaged), std::nullopt);
            for (const QByteArray& wrongSize : {f.key.left(5), f.key + f.key, f.key.chopped(8)})
                EXPECT_EQ(pdfsecurity::decryptStream(f.e, wrongSize, 7, 1, data), std::nullopt);
        }
    }
}

TEST(PdfSecurity, HandlesOnlyWhatItKnows)
{
    const Encryption good = Encrypted(PdfEncryption::Aes256, {}).e;
    ASSERT_TRUE(pdfsecurity::passwordOpens(good, ""));
    const std::function<void(Encryption&)> changes[] = {
        [](Encryption& e) { e.filter = "Adobe.PubSec"; },
        [](Encryption& e) { e.r = 7; },
        [](Encryption& e) { e.v = 4; },
        [](Encryption& e) { e.streamMethod = Method::Unknown; },
        [](Encryption& e) { e.ue.chop(1); },
        [](Encryption& e) { e.u.truncate(40); },
        [](Encryption& e) { e.o.clear(); },
        [](Encryption& e) { e.r = 3, e.v = 2, e.lengthBits = 44; },
    };
    for (const auto& change : changes) {
        Encryption e = good;
        change(e);
        EXPECT_FALSE(pdfsecurity::isSupported(e) || pdfsecurity::passwordOpens(e, "") || pdfsecurity::fileKey(e, ""));
    }
}

} // namespace
