// Test helper standing in for a job starter that hangs: records "<pid> <arguments>" in
// starts.txt of its current directory, starts a child (a hang is often a child's), heartbeats
// once through the instance's pipe (its first argument), then blocks for a minute in
// QvlTestHungInADistinctiveWait, the function a hang report must name. With vfork.txt in the
// current directory (Linux) it blocks instead in vfork, waiting for a child that sleeps: an
// uninterruptible wait that no debugger can stop it in. With churn.txt (Linux) a thread of it
// makes short-lived threads all the while, and its main thread's name holds an escape
// character (a name any process may set).
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/pipe_client.h"
#include "platform/processes.h"
#include "platform/system.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/prctl.h>
#include <unistd.h>
#endif

extern "C" {
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void QvlTestHungInADistinctiveWait() {
    static volatile int waited = 0;  // work after the call: no tail call hides this frame
#ifdef _WIN32
    Sleep(60000);
#else
    sleep(60);
#endif
    waited = waited + 1;
}
}

int main(int argc, char** argv) {
    const std::uint32_t self = PlatformCurrentProcessId();
    if (std::FILE* f = std::fopen("starts.txt", "ab")) {
        std::fprintf(f, "%lu", static_cast<unsigned long>(self));
        for (int i = 1; i < argc; ++i)
            std::fprintf(f, " %s", argv[i]);
        std::fprintf(f, "\n");
        std::fclose(f);
    }
#ifndef _WIN32
    if (fork() == 0) {
        execl("/bin/sleep", "sleep", "20", static_cast<char*>(nullptr));
        _exit(127);
    }
#endif
    const std::string pipe = std::string("\\\\.\\pipe\\qvljobctl") + (argc > 1 ? argv[1] : "");
    char reply[128];
    std::size_t got = 0;
    for (int i = 0; i < 100; ++i) {
        if (PlatformPipeTransact(pipe.c_str(), "hang", 5, reply, sizeof reply, &got, 1000) == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
#ifndef _WIN32
    if (std::FILE* f = std::fopen("churn.txt", "rb")) {
        std::fclose(f);
        prctl(PR_SET_NAME, "hung\x1b[7m", 0, 0, 0);
        std::thread([] {
            for (;;) {
                std::thread([] {
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                }).detach();
                // Two hundred threads a second, each gone within a millisecond: a capture's
                // list of threads soon holds one that has ended, and the machine is not
                // loaded by them.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }).detach();
    }
    if (std::FILE* f = std::fopen("vfork.txt", "rb")) {
        std::fclose(f);
        if (vfork() == 0) {
            sleep(20);  // the parent waits for this child, uninterruptibly
            _exit(0);
        }
    }
#endif
    QvlTestHungInADistinctiveWait();
    return 0;
}
