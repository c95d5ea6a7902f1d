// Test helper standing in for a job starter (and, under other names, for unrelated
// processes): records "<pid> <arguments>" in starts.txt of its current directory, then
// stays alive for up to a minute so that tests can see whether it gets killed.
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/platform.h"

int main(int argc, char** argv) {
    if (std::FILE* f = std::fopen("starts.txt", "ab")) {
        std::fprintf(f, "%lu", static_cast<unsigned long>(PlatformCurrentProcessId()));
        for (int i = 1; i < argc; ++i)
            std::fprintf(f, " %s", argv[i]);
        std::fprintf(f, "\n");
        std::fclose(f);
    }
    std::this_thread::sleep_for(std::chrono::seconds(60));
    return 0;
}
