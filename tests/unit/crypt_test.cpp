// The password cipher against cipher bytes worked out independently of this
// code. They come from a short Python computation of the key as the stored
// passwords need it:
//
//   key = hashlib.md5(b"PalmerOstwickHRBSignal").digest()[:5] + bytes(11)
//       = 62 51 17 55 83 00 00 00 00 00 00 00 00 00 00 00
//   cipher = textbook RC4 (key schedule over all 16 bytes) XOR plain
//
// and were cross-checked with OpenSSL:
//   printf secret | openssl enc -rc4 -provider legacy -provider default
//       -K 62511755830000000000000000000000 | xxd -p    ->  b35f4124a739
// The key stream begins c0 3a 22 56 c2 4d 62 7d, so a plain byte equal to
// the stream byte at its position enciphers to a zero byte.
#include "settings/crypt.h"
#include "platform/digest.h"

#include <gtest/gtest.h>

namespace {

std::string Bytes(std::initializer_list<unsigned char> list)
{
    return std::string(list.begin(), list.end());
}

class CryptTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(crypt.Initialize(), 0); }
    Vesk::CVeskCrypt crypt;
};

struct KnownAnswer {
    std::string plain;
    std::string cipher;
};

TEST_F(CryptTest, EncryptGivesTheKnownCipherBytesAndDecryptRestoresThem)
{
    const KnownAnswer answers[] = {
        {"a", Bytes({0xa1})},
        {"secret", Bytes({0xb3, 0x5f, 0x41, 0x24, 0xa7, 0x39})},
        {"P@ssw0rd!", Bytes({0x90, 0x7a, 0x51, 0x25, 0xb5, 0x7d, 0x10, 0x19, 0x5c})},
        {"\xec\x8a\xa4\xec\xba\x94", Bytes({0x2c, 0xb0, 0x86, 0xba, 0x78, 0xd9})},  // "스캔" in UTF-8
        {std::string("scan\0to\0pc", 10), Bytes({0xb3, 0x59, 0x43, 0x38, 0xc2, 0x39, 0x0d, 0x7d, 0x0d, 0xec})},
        // Cipher text with zero bytes inside and throughout.
        {"p:ssw0rd", Bytes({0xb0, 0x00, 0x51, 0x25, 0xb5, 0x7d, 0x10, 0x19})},
        {Bytes({0xc0, ':', '"', 'V'}), Bytes({0x00, 0x00, 0x00, 0x00})},
    };
    for (const KnownAnswer& answer : answers) {
        std::string cipher, plain;
        ASSERT_TRUE(crypt.Encrypt(answer.plain, cipher));
        EXPECT_EQ(cipher, answer.cipher) << "plain: " << answer.plain;
        ASSERT_TRUE(crypt.Decrypt(cipher, plain));
        EXPECT_EQ(plain, answer.plain);
    }
}

TEST_F(CryptTest, EveryCallRestartsTheKeyStream)
{
    std::string first, second;
    ASSERT_TRUE(crypt.Encrypt("same password", first));
    ASSERT_TRUE(crypt.Encrypt("same password", second));
    EXPECT_EQ(first, second);

    std::string viaEncrypt, viaDecrypt;  // both directions are the same XOR
    ASSERT_TRUE(crypt.Encrypt(first, viaEncrypt));
    ASSERT_TRUE(crypt.Decrypt(first, viaDecrypt));
    EXPECT_EQ(viaEncrypt, "same password");
    EXPECT_EQ(viaDecrypt, "same password");
}

TEST_F(CryptTest, LengthIsKeptAndEmptyStaysEmpty)
{
    std::string cipher = "stale";
    ASSERT_TRUE(crypt.Encrypt("", cipher));
    EXPECT_TRUE(cipher.empty());

    const std::string longText(1000, 'x');  // longer than one 256-byte state cycle
    ASSERT_TRUE(crypt.Encrypt(longText, cipher));
    EXPECT_EQ(cipher.size(), longText.size());
    std::string plain;
    ASSERT_TRUE(crypt.Decrypt(cipher, plain));
    EXPECT_EQ(plain, longText);
}

TEST_F(CryptTest, InputAndOutputMayBeTheSameString)
{
    std::string text = "secret";
    ASSERT_TRUE(crypt.Encrypt(text, text));
    EXPECT_EQ(text, Bytes({0xb3, 0x5f, 0x41, 0x24, 0xa7, 0x39}));
}

TEST(CryptLifecycleTest, RefusesToWorkBeforeInitializeAndLeavesOutputUntouched)
{
    Vesk::CVeskCrypt crypt;
    std::string out = "untouched";
    EXPECT_FALSE(crypt.Encrypt("secret", out));
    EXPECT_FALSE(crypt.Decrypt("secret", out));
    EXPECT_EQ(out, "untouched");

    ASSERT_EQ(crypt.Initialize(), 0);
    ASSERT_EQ(crypt.Initialize(), 0);  // a second set-up is harmless
    EXPECT_TRUE(crypt.Encrypt("secret", out));
    EXPECT_EQ(out, Bytes({0xb3, 0x5f, 0x41, 0x24, 0xa7, 0x39}));
}

}  // namespace

// The key's hash (the system library's MD5), against the test suite of
// RFC 1321.
TEST(Md5, MatchesTheReferenceDigests)
{
    auto hex = [](const platform::Md5Digest& d) {
        static const char digits[] = "0123456789abcdef";
        std::string text;
        for (unsigned char b : d)
            text += {digits[b >> 4], digits[b & 15]};
        return text;
    };
    const std::pair<std::string, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, digest] : cases)
        EXPECT_EQ(hex(platform::Md5(input)), digest) << input.size() << " bytes";
}
