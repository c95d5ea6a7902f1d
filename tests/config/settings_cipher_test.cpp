// The settings cipher against the published Blowfish vectors and the stored-form rules the
// suite's settings files depend on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings_cipher.h"

namespace {

std::vector<unsigned char> FromHex(const std::string& hex) {
    std::vector<unsigned char> out(hex.size() / 2);
    HexToBytes(hex.c_str(), static_cast<int>(hex.size()), out.data());
    return out;
}

std::uint32_t Word(const std::string& hex8) {
    return static_cast<std::uint32_t>(std::stoul(hex8, nullptr, 16));
}

bool ContextIsZero() {
    const auto* w = reinterpret_cast<const unsigned char*>(&gCipherContext);
    for (size_t i = 0; i < sizeof gCipherContext; ++i) {
        if (w[i] != 0) return false;
    }
    return true;
}

std::string Encrypt(const std::string& text, const char* key = "DORVALK") {
    std::vector<char> out(StoredFormChars(static_cast<int>(text.size())));
    EncryptToHex(text.c_str(), out.data(), key);
    return out.data();
}

std::string Decrypt(const std::string& stored, const char* key = "DORVALK") {
    std::vector<char> out(DecryptedBytes(static_cast<int>(stored.size())));
    EXPECT_EQ(1, DecryptFromHex(stored.c_str(), out.data(), key));
    return out.data();
}

struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Published vectors (big-endian hexadecimal words as printed).
const Vector kVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "FEDCBA9876543210", "05044B62FA52D080"},
};

// The block layout reads each 4-byte half little-endian: reverse the bytes of each half.
std::vector<unsigned char> SwapHalves(std::vector<unsigned char> b) {
    std::reverse(b.begin(), b.begin() + 4);
    std::reverse(b.begin() + 4, b.end());
    return b;
}

TEST(BlowfishBlock, PublishedVectorsOnWords) {
    BlowfishContext ctx;
    for (const auto& v : kVectors) {
        const auto key = FromHex(v.key);
        BlowfishSetKey(&ctx, key.data(), static_cast<int>(key.size()));
        const std::string p = v.plain, c = v.cipher;
        std::uint32_t L = Word(p.substr(0, 8)), R = Word(p.substr(8));
        BlowfishEncryptBlock(&ctx, &L, &R);
        EXPECT_EQ(Word(c.substr(0, 8)), L) << v.key;
        EXPECT_EQ(Word(c.substr(8)), R) << v.key;
        BlowfishDecryptBlock(&ctx, &L, &R);
        EXPECT_EQ(Word(p.substr(0, 8)), L);
        EXPECT_EQ(Word(p.substr(8)), R);
    }
}

TEST(BlowfishBlock, PublishedVectorsOnBytesWithHalvesReversed) {
    for (const auto& v : kVectors) {
        const auto key = FromHex(v.key);
        const auto cipher = SwapHalves(FromHex(v.cipher));
        std::vector<unsigned char> out(8, 0xEE);
        ASSERT_EQ(1, DecryptBuffer(cipher.data(), 8, out.data(), key.data(),
                                   static_cast<int>(key.size())));
        EXPECT_EQ(SwapHalves(FromHex(v.plain)), out) << v.key;
    }
}

TEST(BlowfishBlock, InitialTableAnchors) {
    EXPECT_EQ(0x243F6A88u, kBlowfishInitialWords[0]);
    EXPECT_EQ(0xD1310BA6u, kBlowfishInitialWords[18]);
    EXPECT_EQ(0x3AC372E6u, kBlowfishInitialWords[kBlowfishWords - 1]);
}

TEST(BlowfishKey, SevenCharacterKeyEqualsItsSeventyTwoByteCycle) {
    const std::string key = "DORVALK";
    std::string cycle;
    while (cycle.size() < 72)
        cycle += key;
    cycle.resize(72);
    BlowfishContext a, b, c;
    BlowfishSetKey(&a, reinterpret_cast<const unsigned char*>(key.data()), 7);
    BlowfishSetKey(&b, reinterpret_cast<const unsigned char*>(cycle.data()), 72);
    const std::string longer = cycle + "anything after the 72nd byte";
    BlowfishSetKey(&c, reinterpret_cast<const unsigned char*>(longer.data()),
                   static_cast<int>(longer.size()));
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
    EXPECT_EQ(0, std::memcmp(&a, &c, sizeof a));
}

TEST(BlowfishKey, EmptyKeyBehavesLikeOneZeroByte) {
    const unsigned char zero = 0;
    BlowfishContext a, b;
    BlowfishSetKey(&a, reinterpret_cast<const unsigned char*>(""), 0);
    BlowfishSetKey(&b, &zero, 1);
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
    EXPECT_EQ(Encrypt("secret", ""), Encrypt(std::string("secret"), "\0"));
}

TEST(HexCodec, UpperCaseOutputAndLenientInput) {
    const unsigned char bytes[] = {0x00, 0x4A, 0xFF, 0x9C};
    char out[9] = {};
    BytesToHex(bytes, 4, out);
    EXPECT_STREQ("004AFF9C", out);
    unsigned char b[2] = {};
    HexToBytes("4A4a", 4, b);
    EXPECT_EQ(0x4A, b[0]);
    EXPECT_EQ(0x71, b[1]);  // 'a' reads as 49: 4*16+49
    unsigned char odd[2] = {0x11, 0x22};
    HexToBytes("ABC", 3, odd);  // the final odd character is not used
    EXPECT_EQ(0xAB, odd[0]);
    EXPECT_EQ(0x22, odd[1]);
}

TEST(StoredForm, LengthsFollowTheBlocks) {
    EXPECT_EQ("", Encrypt(""));
    EXPECT_EQ(16u, Encrypt("12345678").size());
    const std::string nine = Encrypt("123456789");
    ASSERT_EQ(32u, nine.size());
    // The second block is '9' and seven zero bytes: the same as encrypting "9" alone.
    EXPECT_EQ(Encrypt("9"), nine.substr(16));
    const std::string halves = Encrypt("ABCDEFGHABCDEFGH");
    EXPECT_EQ(halves.substr(0, 16), halves.substr(16));
    for (char c : Encrypt("The quick brown fox jumps over the lazy dog")) {
        EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << c;
    }
}

TEST(StoredForm, RoundTripsAnyTextWithoutZeroBytes) {
    std::string text;
    for (int n = 0; n <= 100; ++n) {
        EXPECT_EQ(text, Decrypt(Encrypt(text))) << n;
        EXPECT_EQ(text, Decrypt(Encrypt(text, "another key"), "another key")) << n;
        text += static_cast<char>(1 + (n * 37) % 255);
    }
    EXPECT_NE("ORACLE", Decrypt(Encrypt("ORACLE"), "wrong"));
}

TEST(StoredForm, ShortLastGroupReadsAsIfPaddedWithZeroDigits) {
    const std::string full = Encrypt("ORACLE");  // 16 characters
    // A short group never reads past the terminator: "AB" decodes like "AB00000000000000".
    std::vector<char> a(DecryptedBytes(2)), b(DecryptedBytes(16));
    DecryptFromHex("AB", a.data(), "DORVALK");
    DecryptFromHex("AB00000000000000", b.data(), "DORVALK");
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), 9));
    // A line feed alone (what an odd settings line can leave) decodes without harm.
    std::vector<char> lf(DecryptedBytes(1), 'x');
    EXPECT_EQ(1, DecryptFromHex("\n", lf.data(), "DORVALK"));
    EXPECT_EQ('\0', lf[8]);
    EXPECT_EQ("ORACLE", Decrypt(full));
}

TEST(DecryptBufferLengths, RejectsPartialBlocksAndAcceptsEmpty) {
    unsigned char data[16] = {1, 2, 3};
    unsigned char out[16];
    std::memset(out, 0x5A, sizeof out);
    const unsigned char key[] = "DORVALK";
    EXPECT_EQ(0, DecryptBuffer(data, 12, out, key, 7));
    for (unsigned char c : out)
        EXPECT_EQ(0x5A, c);
    EXPECT_EQ(1, DecryptBuffer(data, 0, out, key, 7));
    for (unsigned char c : out)
        EXPECT_EQ(0x5A, c);
}

TEST(CipherContext, WipedAfterEveryKeyedOperation) {
    EXPECT_TRUE(ContextIsZero());
    char out[64];
    EncryptToHex("ORACLE", out, "DORVALK");
    EXPECT_TRUE(ContextIsZero());
    DecryptFromHex(out, out + 32, "DORVALK");
    EXPECT_TRUE(ContextIsZero());
    unsigned char raw[8] = {}, plain[8];
    DecryptBuffer(raw, 8, plain, reinterpret_cast<const unsigned char*>("k"), 1);
    EXPECT_TRUE(ContextIsZero());
    EncryptToHex("", out, "DORVALK");
    EXPECT_TRUE(ContextIsZero());
}

}  // namespace
