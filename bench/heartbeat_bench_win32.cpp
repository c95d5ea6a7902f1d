// Heartbeats per second against the Windows controller (a console run in a scratch
// installation) beside a baseline named-pipe server in this program that does the same pipe
// work with no logic: connect, read one message, write 80 bytes, disconnect.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "config/protected_settings.h"
#include "config/settings_cipher.h"
#include "heartbeat_rate.h"
#include "platform/pipe_client.h"

namespace {

constexpr int kHeartbeats = 2000;

double Rate(const char* pipeName) {
    return HeartbeatRate(pipeName, kHeartbeats);
}

void Baseline(const char* name) {
    HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 0,
                                   1000, nullptr);
    char buf[80], reply[80] = "BASELINE";
    DWORD n;
    for (int i = 0; i < kHeartbeats; ++i) {
        ConnectNamedPipe(pipe, nullptr);
        ReadFile(pipe, buf, sizeof buf, &n, nullptr);
        WriteFile(pipe, reply, sizeof reply, &n, nullptr);
        DisconnectNamedPipe(pipe);
    }
    CloseHandle(pipe);
}

std::string Beside(const char* name) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p = path;
    return p.substr(0, p.find_last_of("\\/") + 1) + name;
}

}  // namespace

int main() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string dir = std::string(temp) + "qvl_hb_bench\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    CopyFileA(Beside("QVLJOBCTL.EXE").c_str(), (dir + "QVLJOBCTL.EXE").c_str(), FALSE);
    CopyFileA(Beside("KILL.EXE").c_str(), (dir + "KILL.EXE").c_str(), FALSE);
    CopyFileA(Beside("qvljobstr_sample.exe").c_str(), (dir + "QVLJOBSTR_ORACLE.EXE").c_str(),
              FALSE);
    char stored[32];
    EncryptToHex("Oracle", stored, kProtectedValueKey);
    if (std::FILE* f = std::fopen((dir + "QUARVELIN.INI").c_str(), "wb")) {
        std::fprintf(f, ";DB;\r\n0;DB_SYSTEM;%s\r\n", stored);
        std::fclose(f);
    }
    // The controller runs as numbered instance 987654321 so that it meets no controller in
    // use, and only its own job starter is ended afterwards.
    std::string cmd = "QUARVELIN_JOB_CONTROLLER987654321 -debug";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA((dir + "QVLJOBCTL.EXE").c_str(), &cmd[0], nullptr, nullptr, FALSE, 0,
                        nullptr, dir.c_str(), &si, &pi)) {
        std::printf("cannot start the controller\n");
        return 1;
    }
    const char* pipe = "\\\\.\\pipe\\qvljobctl987654321";
    char reply[80];
    std::size_t got;
    while (PlatformPipeTransact(pipe, "up", 3, reply, sizeof reply, &got, 100) != 0)
        Sleep(20);
    Sleep(500);
    const char* basePipe = "\\\\.\\pipe\\qvl-bench-baseline";
    std::thread server(Baseline, basePipe);
    Sleep(200);
    const double base = Rate(basePipe);
    server.join();
    const double ours = Rate(pipe);
    std::printf("heartbeats/s under Wine  controller %8.0f   baseline %8.0f   ratio %.2f\n", ours,
                base, ours / base);
    TerminateProcess(pi.hProcess, 0);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    std::system(("\"" + dir + "KILL.EXE\" QVLJOBSTR_ORACLE.EXE 987654321 >NUL").c_str());
    return 0;
}
