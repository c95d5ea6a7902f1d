// Test helper: the controller's console run with a short heartbeat time-out.
//   test_controller HEARTBEAT_MS SERVICE_NAME [STOP_FILE [CLIENT_LIMIT_MS]]
// Runs as "-debug" does, with SERVICE_NAME in place of the program path. When STOP_FILE
// appears, the console handler gets a Ctrl+C (the Windows tests' way to press it).
//   test_controller --storm RUNS SERVICE_NAME
// Runs the controller RUNS times while another thread calls SignalStop without pause.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "host/program_entry.h"
#include "service/service_identity.h"
#include "platform/platform.h"
#include "supervision/controller.h"

namespace {

int Storm(int runs, char* serviceName) {
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        while (!done)
            SignalStop();
    });
    char* args[] = {serviceName, nullptr};
    for (int i = 0; i < runs; ++i)
        RunControllerFor(1, args, 200);
    done = true;
    stopper.join();
    return 0;
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
    char* args[] = {argv[2], nullptr};
    const std::uint32_t clientLimitMs =
        argc >= 5 ? static_cast<std::uint32_t>(std::atol(argv[4])) : kClientTimeLimitMs;
    const int outcome =
        RunControllerFor(1, args, static_cast<std::uint32_t>(std::atol(argv[1])), clientLimitMs);
    std::fflush(stdout);
    return outcome;
}
