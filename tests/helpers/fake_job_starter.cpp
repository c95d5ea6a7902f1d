// Test helper standing in for a job starter (and, under other names, for unrelated
// processes): records "<pid> <arguments>" in starts.txt of its current directory, then
// stays alive for up to a minute so that tests can see whether it gets killed; or, when the
// current directory holds lifetime.txt ("MS CODE"), for MS milliseconds, then exits with
// CODE. It needs
// nothing of the product, so that the Windows build can also make a 64-bit copy of it with
// the x86_64 compiler (a 64-bit job starter beside the 32-bit controller).
#include <chrono>
#include <cstdio>
#include <thread>

#ifdef _WIN32
#include <windows.h>
static unsigned long ProcessId() {
    return GetCurrentProcessId();
}
#else
#include <unistd.h>
static unsigned long ProcessId() {
    return static_cast<unsigned long>(getpid());
}
#endif

int main(int argc, char** argv) {
    if (std::FILE* f = std::fopen("starts.txt", "ab")) {
        std::fprintf(f, "%lu", ProcessId());
        for (int i = 1; i < argc; ++i)
            std::fprintf(f, " %s", argv[i]);
        std::fprintf(f, "\n");
        std::fclose(f);
    }
    // A test rewrites lifetime.txt while job starters start: read empty (between its
    // truncation and its write), it is read again, rather than taken for a minute's life.
    long lifetimeMs = 60000, code = 0;
    for (int tries = 0; tries < 50; ++tries) {
        std::FILE* f = std::fopen("lifetime.txt", "rb");
        if (!f) break;
        const bool read = std::fscanf(f, "%ld %ld", &lifetimeMs, &code) >= 1;
        std::fclose(f);
        if (read) break;
        lifetimeMs = 60000;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(lifetimeMs));
    return static_cast<int>(code);
}
