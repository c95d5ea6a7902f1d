// Any bytes as a settings file: the lookup must stay within its buffers whatever the lines.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "config/protected_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/qvl_fuzz_settings." + std::to_string(getpid());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    // The controller's own request, and ones that match by section and by id.
    ReadProtectedValue("", "DB_SYSTEM", 0, path.c_str());
    ReadProtectedValue("DB", "", 7, path.c_str());
    ReadProtectedValue("\n", "\n", -1, path.c_str());
    return 0;
}
