// Test helper: the controller's console run with short times.
//   test_controller HEARTBEAT_MS SERVICE_NAME [STOP_FILE [CLIENT_LIMIT_MS] [NAME=MS ...]]
// Runs as "-debug" does, with SERVICE_NAME in place of the program path. When STOP_FILE
// appears, the console handler gets a Ctrl+C (the Windows tests' way to press it). NAME=MS
// shortens another time: pause (after KILL), endwait, backoff (the first), maxbackoff,
// reset (of the back-off), capture (the limit of a hang report), refresh (of the state),
// selfwatch (the watch on the loop; 0 off).
//   test_controller --storm RUNS SERVICE_NAME
// Runs the controller RUNS times while another thread calls SignalStop without pause; exits
// with the first outcome that was not a clean stop (0 when every run was one).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "host/program_entry.h"
#include "platform/console.h"
#include "platform/system.h"
#include "service/service_identity.h"
#include "supervision/controller.h"

namespace {

int Storm(int runs, char* serviceName) {
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        while (!done)
            SignalStop();
    });
    char* args[] = {serviceName, nullptr};
    RunTimes times;
    times.heartbeatTimeoutMs = 200;
    int failed = 0;
    for (int i = 0; i < runs; ++i) {
        const int outcome = RunControllerWith(1, args, times);
        if (outcome != kRunStopped && failed == 0) failed = outcome;
    }
    done = true;
    stopper.join();
    return failed;
}

// Takes "NAME=MS" into its time; false for a word it does not know.
bool TakeTime(const std::string& word, RunTimes* times) {
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos) return false;
    const std::string name = word.substr(0, eq);
    const auto ms = static_cast<std::uint32_t>(std::atol(word.c_str() + eq + 1));
    std::uint32_t* field = name == "pause"        ? &times->killPauseMs
                           : name == "endwait"    ? &times->endWaitMs
                           : name == "backoff"    ? &times->firstBackoffMs
                           : name == "maxbackoff" ? &times->maxBackoffMs
                           : name == "reset"      ? &times->backoffResetMs
                           : name == "capture"    ? &times->captureLimitMs
                           : name == "refresh"    ? &times->refreshMs
                           : name == "selfwatch"  ? &times->selfWatchMs
                                                  : nullptr;
    if (field) *field = ms;
    return field != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    PlatformPrepareProcess();
    gConsoleMode = true;
    if (argc == 4 && std::strcmp(argv[1], "--storm") == 0)
        return Storm(std::atoi(argv[2]), argv[3]);
    if (argc < 3) return 2;
    PlatformInstallConsoleHandler(ConsoleControlHandler);
    if (argc >= 4) {
        const std::string stopFile = argv[3];
        std::thread([stopFile] {
            for (;;) {
                if (std::FILE* f = std::fopen(stopFile.c_str(), "rb")) {
                    std::fclose(f);
                    std::remove(stopFile.c_str());
                    ConsoleControlHandler(0);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }).detach();
    }
    RunTimes times;
    times.heartbeatTimeoutMs = static_cast<std::uint32_t>(std::atol(argv[1]));
    for (int i = 4; i < argc; ++i) {
        if (!TakeTime(argv[i], &times)) {
            times.clientLimitMs = static_cast<std::uint32_t>(std::atol(argv[i]));
        }
    }
    char* args[] = {argv[2], nullptr};
    const int outcome = RunControllerWith(1, args, times);
    std::fflush(stdout);
    return outcome;
}
