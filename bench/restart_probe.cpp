// Helper of restart_bench: stands in for the job starter, and under the name KILL for KILL,
// and notes the moments that matter on the monotonic clock (shared by every process of the
// machine) in the file that QVL_PROBE_EVENTS names, one line each:
//   S <ns>   started (as the job starter)     H <ns>   its first heartbeat was answered
//   E <ns>   about to exit                    K <ns>   started as KILL
// QVL_PROBE_LIFETIME_MS: as the job starter, exit after that long (default: never).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/pipe_client.h"
#include "platform/processes.h"
#include "service/service_identity.h"

namespace {

void Note(char what) {
    const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
    const char* path = std::getenv("QVL_PROBE_EVENTS");
    if (!path) return;
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%c %lld\n", what, ns);
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line, static_cast<std::size_t>(n)) != n) {
    }
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = argv[0];
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, "KILL") == 0) {
        Note('K');
        if (argc == 2) PlatformTerminateProcess(static_cast<std::uint32_t>(std::atol(argv[1])));
        return 0;
    }
    Note('S');
    const std::string pipe = kBasePipeName + std::string(argc > 1 ? argv[1] : "");
    char reply[80];
    std::size_t got = 0;
    if (PlatformPipeTransact(pipe.c_str(), "PROBE", 6, reply, sizeof reply, &got, 5000) == 0) {
        Note('H');
    }
    const char* lifetime = std::getenv("QVL_PROBE_LIFETIME_MS");
    if (!lifetime) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(lifetime)));
    Note('E');
    return 0;
}
