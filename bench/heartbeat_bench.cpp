// Heartbeats per second against the real controller (a console run in a scratch
// installation) beside a baseline server in this program that does the same socket work
// with no logic; then the controller's resident memory and its system calls while idle.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "config/protected_settings.h"
#include "config/settings_cipher.h"
#include "heartbeat_rate.h"
#include "platform/pipe_client.h"

namespace {

constexpr int kHeartbeats = 20000;

double Rate(const char* pipeName) {
    return HeartbeatRate(pipeName, kHeartbeats);
}

// The least a server can do per heartbeat: accept, read one message, send 80 bytes, close.
void Baseline(const char* name, std::atomic<bool>* ready) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name, std::strlen(name));
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    bind(fd, reinterpret_cast<sockaddr*>(&addr),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + std::strlen(name)));
    listen(fd, 16);
    *ready = true;
    char buf[80], reply[80] = "BASELINE";
    for (int i = 0; i < kHeartbeats; ++i) {
        const int c = accept(fd, nullptr, nullptr);
        if (recv(c, buf, sizeof buf, 0) < 0) break;
        if (send(c, reply, sizeof reply, MSG_NOSIGNAL) < 0) break;
        close(c);
    }
    close(fd);
}

long RssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

constexpr char kPipe[] = "\\\\.\\pipe\\qvljobctl987654321";

// Starts the controller of `dir` in a console run (with `preload` loaded into it at its start
// where given) and returns once it answers and its job starter has beaten once. It runs as
// numbered instance 987654321 so that it meets no controller in use, and only its own job
// starter is ended afterwards.
pid_t StartController(const std::string& dir, const char* preload) {
    const pid_t controller = fork();
    if (controller == 0) {
        if (preload) setenv("LD_PRELOAD", preload, 1);
        execl((dir + "/qvljobctl").c_str(), "QUARVELIN_JOB_CONTROLLER987654321", "-debug", nullptr);
        _exit(127);
    }
    char reply[80];
    std::size_t got;
    while (PlatformPipeTransact(kPipe, "up", 3, reply, sizeof reply, &got, 100) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the job starter's first beat
    return controller;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string bin = std::filesystem::canonical(argv[0]).parent_path().string();
    const std::string dir = std::filesystem::temp_directory_path().string() + "/qvl_hb_bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    for (const char* tool : {"qvljobctl", "KILL"}) {
        std::filesystem::copy_file(bin + "/" + tool, dir + "/" + tool);
    }
    std::filesystem::copy_file(bin + "/qvljobstr_sample", dir + "/QVLJOBSTR_ORACLE.EXE");
    char stored[32];
    EncryptToHex("Oracle", stored, kProtectedValueKey);
    std::ofstream(dir + "/QUARVELIN.INI") << ";DB;\r\n0;DB_SYSTEM;" << stored << "\r\n";

    const pid_t controller = StartController(dir, nullptr);

    std::atomic<bool> ready{false};
    std::thread server(Baseline, "qvl-bench-baseline", &ready);
    while (!ready)
        std::this_thread::yield();
    const double base = Rate("qvl-bench-baseline");
    server.join();
    const double ours = Rate(kPipe);
    std::printf("heartbeats/s  controller %9.0f   baseline %9.0f   ratio %.2f\n", ours, base,
                ours / base);
    std::printf("controller resident memory: %ld KiB\n", RssKiB(controller));
    if (argc > 1 && std::strcmp(argv[1], "--idle") == 0) {
        // Thirty idle seconds under strace: every completed call is one line; the calls that
        // were already waiting when strace attached (the one poll, the signal thread's
        // sigtimedwait) show only as "unfinished" or "resumed" and are not counted. The loop
        // wakes once per refresh of the state (10 s) while nothing happens: 3 such wake-ups,
        // each with the writes of the state and the metrics file.
        const std::string trace = dir + "/idle.txt";
        const std::string cmd =
            "timeout -s INT 30 strace -f -p " + std::to_string(controller) + " -o " + trace +
            " 2>/dev/null; printf '%s calls, %s wake-ups of the loop (expected: 3, one per 10 s "
            "refresh)\\n' $(grep -cvE 'unfinished|resumed|detached|attached' " +
            trace + ") $(grep -cE 'poll.*resumed|^[0-9]+ +(ppoll|poll)\\(' " + trace + ")";
        std::printf("system calls completed over 30 idle seconds: ");
        std::fflush(stdout);
        if (std::system(cmd.c_str()) == -1) std::printf("(strace not available)\n");
    }
    kill(controller, SIGINT);
    waitpid(controller, nullptr, 0);
    // The same controller with the libraries of its optional features (the journal's, the
    // hang reports' unwinder) loaded from its start, as it had them before they were loaded
    // at their first use.
    const pid_t eager = StartController(dir, "libsystemd.so.0 libdw.so.1");
    std::printf(
        "  with the journal's and the unwinder's libraries loaded from the start: %ld KiB\n",
        RssKiB(eager));
    kill(eager, SIGINT);
    waitpid(eager, nullptr, 0);
    if (std::system((dir + "/KILL QVLJOBSTR_ORACLE.EXE 987654321 >/dev/null").c_str()) != 0) {
    }  // none left is fine
    std::filesystem::remove_all(dir);
    return 0;
}
