// The settings cipher beside OpenSSL's Blowfish: key schedule, one block, and whole stored
// values of 1 and 12 blocks. Both sides use the same 72-byte key (the suite key cycled).
#include <benchmark/benchmark.h>
#include <openssl/blowfish.h>
#include <openssl/crypto.h>

#include <string>

#include "config/settings_cipher.h"

namespace {

const std::string kKeyText = "DORVALK";

std::string KeyCycle() {
    std::string k;
    while (k.size() < 72)
        k += kKeyText;
    k.resize(72);
    return k;
}

const std::string kKey = KeyCycle();
const unsigned char* KeyBytes() {
    return reinterpret_cast<const unsigned char*>(kKey.data());
}

std::string StoredOf(int blocks) {
    std::string text(8 * blocks, 'x');
    std::string out(16 * blocks + 1, '\0');
    EncryptToHex(text.c_str(), &out[0], kKeyText.c_str());
    return out;
}

void Ours_SetKey(benchmark::State& state) {
    BlowfishContext ctx;
    for (auto _ : state) {
        BlowfishSetKey(&ctx, KeyBytes(), 72);
        benchmark::DoNotOptimize(ctx);
    }
}

void OpenSSL_SetKey(benchmark::State& state) {
    BF_KEY key;
    for (auto _ : state) {
        BF_set_key(&key, 72, KeyBytes());
        benchmark::DoNotOptimize(key);
    }
}

void Ours_Block(benchmark::State& state) {
    BlowfishContext ctx;
    BlowfishSetKey(&ctx, KeyBytes(), 72);
    std::uint32_t L = 1, R = 2;
    for (auto _ : state) {
        BlowfishEncryptBlock(&ctx, &L, &R);
        benchmark::DoNotOptimize(L);
        benchmark::DoNotOptimize(R);
    }
}

void OpenSSL_Block(benchmark::State& state) {
    BF_KEY key;
    BF_set_key(&key, 72, KeyBytes());
    BF_LONG data[2] = {1, 2};
    for (auto _ : state) {
        BF_encrypt(data, &key);
        benchmark::DoNotOptimize(data);
    }
}

void Ours_DecryptFromHex(benchmark::State& state) {
    const std::string stored = StoredOf(static_cast<int>(state.range(0)));
    std::string out(8 * state.range(0) + 1, '\0');
    for (auto _ : state) {
        DecryptFromHex(stored.c_str(), &out[0], kKeyText.c_str());
        benchmark::DoNotOptimize(out);
    }
}

// The same work with OpenSSL: a fresh key schedule, hex decoding and one ECB block each.
void OpenSSL_DecryptFromHex(benchmark::State& state) {
    const std::string stored = StoredOf(static_cast<int>(state.range(0)));
    std::string out(8 * state.range(0) + 1, '\0');
    for (auto _ : state) {
        BF_KEY key;
        BF_set_key(&key, 72, KeyBytes());
        for (size_t o = 0; o < stored.size() - 1; o += 16) {
            unsigned char block[8];
            HexToBytes(stored.c_str() + o, 16, block);
            BF_ecb_encrypt(block, reinterpret_cast<unsigned char*>(&out[o / 2]), &key, BF_DECRYPT);
        }
        OPENSSL_cleanse(&key, sizeof key);
        benchmark::DoNotOptimize(out);
    }
}

}  // namespace

BENCHMARK(Ours_SetKey);
BENCHMARK(OpenSSL_SetKey);
BENCHMARK(Ours_Block);
BENCHMARK(OpenSSL_Block);
BENCHMARK(Ours_DecryptFromHex)->Arg(1)->Arg(12);
BENCHMARK(OpenSSL_DecryptFromHex)->Arg(1)->Arg(12);
BENCHMARK_MAIN();
