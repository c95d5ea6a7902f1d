// Any bytes as an INI file: lookups with small and large rooms must stay within them.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/profile_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/qvl_fuzz_ini." + std::to_string(getpid());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    const char* keys[] = {"QVLINI", "QVLLOG", "", "a"};
    for (unsigned room : {1u, 2u, 8u, 260u}) {
        char out[260];
        for (const char* key : keys) {
            unsigned n = ProfileReadString("JOBATR", key, "def ", out, room, path.c_str());
            if (n >= room || std::strlen(out) != n) __builtin_trap();
        }
    }
    return 0;
}
