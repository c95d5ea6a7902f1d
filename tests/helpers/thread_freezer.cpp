// Test helper: stops the main thread of process PID alone, as a loop stuck in a call would
// stand, for SECONDS, then lets it go; ends earlier when the process ends. The process's other
// threads run on.   thread_freezer PID SECONDS
// Linux: ptrace's interrupt of the thread whose id is the process's (PTRACE_SEIZE, then
// PTRACE_INTERRUPT). Windows: SuspendThread of the process's first thread.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
// The process's first thread, by its creation time: the one that ran main.
HANDLE MainThread(DWORD pid) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return nullptr;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    HANDLE first = nullptr;
    ULONGLONG firstTime = ~0ull;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != pid) continue;
        HANDLE t =
            OpenThread(THREAD_SUSPEND_RESUME | THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
        FILETIME created, exited, kernel, user;
        if (!t || !GetThreadTimes(t, &created, &exited, &kernel, &user)) {
            if (t) CloseHandle(t);
            continue;
        }
        const ULONGLONG time = (ULONGLONG(created.dwHighDateTime) << 32) | created.dwLowDateTime;
        if (time < firstTime) {
            if (first) CloseHandle(first);
            first = t;
            firstTime = time;
        } else {
            CloseHandle(t);
        }
    }
    CloseHandle(snapshot);
    return first;
}

int Freeze(unsigned long pid, long seconds) {
    HANDLE thread = MainThread(pid);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!thread || !process || SuspendThread(thread) == static_cast<DWORD>(-1)) {
        std::fprintf(stderr, "thread_freezer: cannot stop the thread (%lu)\n", GetLastError());
        return 1;
    }
    std::printf("frozen\n");
    std::fflush(stdout);
    WaitForSingleObject(process, static_cast<DWORD>(seconds * 1000));
    ResumeThread(thread);
    return 0;
}
#else
int Freeze(unsigned long pid, long seconds) {
    const pid_t tid = static_cast<pid_t>(pid);
    if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0 ||
        ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) != 0) {
        std::perror("thread_freezer: ptrace");
        return 1;
    }
    std::printf("frozen\n");
    std::fflush(stdout);
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    bool gone = false;
    while (!gone && Clock::now() < end) {
        int status = 0;
        const pid_t got = waitpid(tid, &status, __WALL | WNOHANG);
        gone = got == tid && (WIFEXITED(status) || WIFSIGNALED(status));
        gone = gone || (got < 0 && kill(tid, 0) != 0);
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!gone) ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
    return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: thread_freezer PID SECONDS\n");
        return 2;
    }
    return Freeze(std::strtoul(argv[1], nullptr, 10), std::atol(argv[2]));
}
