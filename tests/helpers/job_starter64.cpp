// Test helper for the Windows build, compiled by the x86_64 compiler: a 64-bit stand-in job
// starter beside the 32-bit controller. Like fake_job_starter it records "<pid> <arguments>"
// in starts.txt of its current directory, then stays alive for up to a minute.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (std::FILE* f = std::fopen("starts.txt", "ab")) {
        std::fprintf(f, "%lu", static_cast<unsigned long>(GetCurrentProcessId()));
        for (int i = 1; i < argc; ++i)
            std::fprintf(f, " %s", argv[i]);
        std::fprintf(f, "\n");
        std::fclose(f);
    }
    Sleep(60000);
    return 0;
}
