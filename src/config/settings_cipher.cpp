// Blowfish for the suite's protected settings: key schedule, block operations, the
// hexadecimal stored form, and the whole-value operations that key and wipe the single
// process-wide context.
#include "config/settings_cipher.h"

#include <cstring>

BlowfishContext gCipherContext;

namespace {

constexpr int kRounds = 16;

inline std::uint32_t F(const BlowfishContext* ctx, std::uint32_t x) {
    return ((ctx->S[0][x >> 24] + ctx->S[1][(x >> 16) & 0xFF]) ^ ctx->S[2][(x >> 8) & 0xFF]) +
           ctx->S[3][x & 0xFF];
}

// Block halves are little-endian: b0 is the least significant byte of L.
inline std::uint32_t LoadHalf(const unsigned char* b) {
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
           std::uint32_t(b[3]) << 24;
}

inline void StoreHalf(std::uint32_t v, unsigned char* b) {
    b[0] = static_cast<unsigned char>(v);
    b[1] = static_cast<unsigned char>(v >> 8);
    b[2] = static_cast<unsigned char>(v >> 16);
    b[3] = static_cast<unsigned char>(v >> 24);
}

void EncryptBytes(const BlowfishContext* ctx, unsigned char* block) {
    std::uint32_t L = LoadHalf(block), R = LoadHalf(block + 4);
    BlowfishEncryptBlock(ctx, &L, &R);
    StoreHalf(L, block);
    StoreHalf(R, block + 4);
}

void DecryptBytes(const BlowfishContext* ctx, unsigned char* block) {
    std::uint32_t L = LoadHalf(block), R = LoadHalf(block + 4);
    BlowfishDecryptBlock(ctx, &L, &R);
    StoreHalf(L, block);
    StoreHalf(R, block + 4);
}

// Wipes the shared context. Written through a volatile pointer so that the compiler cannot
// drop the stores as dead.
void WipeContext() {
    volatile std::uint32_t* w = &gCipherContext.P[0];
    for (int i = 0; i < kBlowfishSubkeys; ++i)
        w[i] = 0;
    for (auto& box : gCipherContext.S) {
        volatile std::uint32_t* e = box;
        for (int i = 0; i < kBlowfishBoxEntries; ++i)
            e[i] = 0;
    }
}

void KeyWithText(const char* keyText) {
    BlowfishSetKey(&gCipherContext, reinterpret_cast<const unsigned char*>(keyText),
                   static_cast<int>(std::strlen(keyText)));
}

int HexValue(char c) {
    int code = static_cast<unsigned char>(c);
    return (c >= 'A' && c <= 'F') ? code - 55 : code - 48;
}

}  // namespace

void BlowfishEncryptBlock(const BlowfishContext* ctx, std::uint32_t* L, std::uint32_t* R) {
    std::uint32_t l = *L, r = *R;
    for (int i = 0; i < kRounds; i += 2) {  // two rounds per step: the exchange is implicit
        l ^= ctx->P[i];
        r ^= F(ctx, l);
        r ^= ctx->P[i + 1];
        l ^= F(ctx, r);
    }
    *L = r ^ ctx->P[17];
    *R = l ^ ctx->P[16];
}

void BlowfishDecryptBlock(const BlowfishContext* ctx, std::uint32_t* L, std::uint32_t* R) {
    std::uint32_t l = *L, r = *R;
    for (int i = 17; i > 1; i -= 2) {
        l ^= ctx->P[i];
        r ^= F(ctx, l);
        r ^= ctx->P[i - 1];
        l ^= F(ctx, r);
    }
    *L = r ^ ctx->P[0];
    *R = l ^ ctx->P[1];
}

void BlowfishSetKey(BlowfishContext* ctx, const unsigned char* key, int keyLength) {
    static const unsigned char kZeroKey = 0;
    if (keyLength <= 0) {  // an empty key reads key byte 0 every time
        key = key ? key : &kZeroKey;
        keyLength = 1;
    }
    std::memcpy(ctx->S, kBlowfishInitialWords + kBlowfishSubkeys, sizeof ctx->S);
    int j = 0;
    for (int i = 0; i < kBlowfishSubkeys; ++i) {
        std::uint32_t w = 0;
        for (int b = 0; b < 4; ++b) {
            w = (w << 8) | key[j];
            if (++j >= keyLength) j = 0;
        }
        ctx->P[i] = kBlowfishInitialWords[i] ^ w;
    }
    std::uint32_t L = 0, R = 0;
    for (int i = 0; i < kBlowfishSubkeys; i += 2) {
        BlowfishEncryptBlock(ctx, &L, &R);
        ctx->P[i] = L;
        ctx->P[i + 1] = R;
    }
    for (auto& box : ctx->S) {
        for (int e = 0; e < kBlowfishBoxEntries; e += 2) {
            BlowfishEncryptBlock(ctx, &L, &R);
            box[e] = L;
            box[e + 1] = R;
        }
    }
}

void BytesToHex(const unsigned char* bytes, int count, char* out) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
}

// Each character is worth its code minus 55 ('A'-'F') or minus 48 (anything else), both
// modulo 256, so lower-case or stray characters give defined, if meaningless, bytes.
void HexToBytes(const char* chars, int count, unsigned char* out) {
    for (int i = 0; i < count / 2; ++i) {
        out[i] =
            static_cast<unsigned char>(16 * HexValue(chars[2 * i]) + HexValue(chars[2 * i + 1]));
    }
}

void EncryptToHex(const char* text, char* out, const char* keyText) {
    const int n = static_cast<int>(std::strlen(text));
    KeyWithText(keyText);
    int o = 0;
    for (; o < n; o += kCipherBlockBytes) {
        unsigned char block[kCipherBlockBytes] = {};
        const int take = (n - o < kCipherBlockBytes) ? n - o : kCipherBlockBytes;
        std::memcpy(block, text + o, take);
        EncryptBytes(&gCipherContext, block);
        BytesToHex(block, kCipherBlockBytes, out + 2 * o);
    }
    out[2 * o] = '\0';
    WipeContext();
}

int DecryptFromHex(const char* stored, char* out, const char* keyText) {
    KeyWithText(keyText);
    const int m = static_cast<int>(std::strlen(stored));
    int o = 0;
    for (; o < m; o += kStoredBlockChars) {
        // A short last group is completed with '0' characters so nothing past the
        // terminating zero is ever read.
        char group[kStoredBlockChars];
        std::memset(group, '0', sizeof group);
        const int take = (m - o < kStoredBlockChars) ? m - o : kStoredBlockChars;
        std::memcpy(group, stored + o, take);
        unsigned char block[kCipherBlockBytes];
        HexToBytes(group, kStoredBlockChars, block);
        DecryptBytes(&gCipherContext, block);
        std::memcpy(out + o / 2, block, kCipherBlockBytes);
    }
    out[o / 2] = '\0';
    WipeContext();
    return 1;
}

int DecryptBuffer(const unsigned char* data, int length, unsigned char* out,
                  const unsigned char* key, int keyLength) {
    if (length % kCipherBlockBytes != 0) return 0;
    BlowfishSetKey(&gCipherContext, key, keyLength);
    for (int o = 0; o < length; o += kCipherBlockBytes) {
        unsigned char block[kCipherBlockBytes];
        std::memcpy(block, data + o, kCipherBlockBytes);
        DecryptBytes(&gCipherContext, block);
        std::memcpy(out + o, block, kCipherBlockBytes);
    }
    WipeContext();
    return 1;
}
