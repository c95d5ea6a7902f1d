// The sample job starter: what a job starter of the suite must do for the controller. Started
// with the instance number as its only argument (or none), it sends a heartbeat to its
// controller every N seconds (default 60, well inside the controller's 300000 ms; --every or
// the environment variable QVLJOBSTR_EVERY, since the controller passes only the instance
// number) and prints each reply with a time stamp. Ctrl+C ends it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "heartbeat_client.h"
#include "platform/pipe_client.h"
#include "platform/processes.h"
#include "platform/system.h"
#include "service/version.h"

int main(int argc, char** argv) {
    if (argc == 2 && PrintVersionIfAsked("qvljobstr_sample", argv[1])) return 0;
    std::string instance;
    long every = 60;
    if (const char* env = std::getenv("QVLJOBSTR_EVERY")) every = std::atol(env);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--every" && i + 1 < argc) {
            every = std::atol(argv[++i]);
        } else if (arg == "--help") {
            std::printf("usage: QVLJOBSTR_<DB>.EXE [INSTANCE] [--every SECONDS]\n");
            return 0;
        } else {
            instance = arg;
        }
    }
    if (every < 1) every = 1;
    for (;;) {
        std::string reply, refused;
        const int rc =
            SendHeartbeat(instance, "JOBSTARTER " + std::to_string(PlatformCurrentProcessId()),
                          kDefaultClientTimeoutMs, &reply, &refused);
        std::tm now;
        PlatformLocalTimeNow(&now);
        char stamp[20];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &now);
        const std::string said =
            rc == 0 ? reply
            : rc == kServerRefused
                ? "refused the pipe's server: " + refused + " is no controller of this installation"
                : "no reply from the controller";
        std::printf("%s  %s\n", stamp, said.c_str());
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(every));
    }
}
