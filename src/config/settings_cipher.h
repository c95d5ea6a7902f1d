// The settings cipher: Blowfish (16 rounds, standard key schedule) on independent 8-byte
// blocks whose two 32-bit halves are read little-endian, plus the upper-case hexadecimal
// stored form used by the suite's settings file. One process-wide context serves every
// keyed operation and is wiped to zeros before each of them returns, so no key material
// outlives the call. Keyed operations must never overlap (single context, no lock).
#pragma once

#include <cstdint>

constexpr int kBlowfishSubkeys = 18;
constexpr int kBlowfishBoxes = 4;
constexpr int kBlowfishBoxEntries = 256;
constexpr int kBlowfishWords = kBlowfishSubkeys + kBlowfishBoxes * kBlowfishBoxEntries;  // 1042
constexpr int kCipherBlockBytes = 8;
constexpr int kStoredBlockChars = 16;  // two hex digits per block byte

struct BlowfishContext {
    std::uint32_t P[kBlowfishSubkeys];
    std::uint32_t S[kBlowfishBoxes][kBlowfishBoxEntries];
};

// The standard initial subkeys and S-boxes (fractional hex digits of pi), never modified.
extern const std::uint32_t kBlowfishInitialWords[kBlowfishWords];

// The one context of the process; all zeros except while a keyed operation runs.
extern BlowfishContext gCipherContext;

void BlowfishSetKey(BlowfishContext* ctx, const unsigned char* key, int keyLength);
void BlowfishEncryptBlock(const BlowfishContext* ctx, std::uint32_t* L, std::uint32_t* R);
void BlowfishDecryptBlock(const BlowfishContext* ctx, std::uint32_t* L, std::uint32_t* R);

// Two characters per byte, high nibble first, 'A'-'F' for 10-15; writes no terminator.
void BytesToHex(const unsigned char* bytes, int count, char* out);
// count/2 bytes; no character is rejected (see the .cpp for the exact rule).
void HexToBytes(const char* chars, int count, unsigned char* out);

// Stored form of `text`; `out` needs 16*ceil(n/8)+1 characters.
void EncryptToHex(const char* text, char* out, const char* keyText);
// Decrypted bytes of a stored form plus a terminating zero; `out` needs 8*ceil(m/16)+1
// bytes. A last group shorter than 16 characters decodes as if padded with '0' characters;
// nothing past the stored form's terminating zero is read. Always returns 1.
int DecryptFromHex(const char* stored, char* out, const char* keyText);
// Decrypts `length` raw bytes; returns 0 without keying or writing anything when the length
// is not a multiple of 8, else 1. Writes no terminator.
int DecryptBuffer(const unsigned char* data, int length, unsigned char* out,
                  const unsigned char* key, int keyLength);

// Encrypted size bounds, for callers that size their buffers.
constexpr int StoredFormChars(int textChars) {
    return kStoredBlockChars * ((textChars + kCipherBlockBytes - 1) / kCipherBlockBytes) + 1;
}
constexpr int DecryptedBytes(int storedChars) {
    return kCipherBlockBytes * ((storedChars + kStoredBlockChars - 1) / kStoredBlockChars) + 1;
}
