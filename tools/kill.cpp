// KILL: ends a process by its decimal id, or every process whose executable's base name is
// the given image name (without regard to case). The end is certain (TerminateProcess,
// SIGKILL): a hung job starter would not honour anything gentler. KILL never ends itself
// or the process that started it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/ascii_text.h"
#include "platform/platform.h"

namespace {

constexpr int kEnded = 0, kNoneMatched = 1, kUsage = 2;

bool IsDecimal(const char* s) {
    if (*s == '\0') return false;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9') return false;
    }
    return true;
}

// Ids that must never be ended: KILL itself and its parent (the controller).
std::vector<std::uint32_t> Protected(const std::vector<ProcessEntry>& all) {
    const std::uint32_t self = PlatformCurrentProcessId();
    std::vector<std::uint32_t> ids = {self};
    for (const auto& p : all) {
        if (p.pid == self) ids.push_back(p.parentPid);
    }
    return ids;
}

bool End(std::uint32_t pid, const std::vector<std::uint32_t>& protectedIds) {
    for (std::uint32_t id : protectedIds) {
        if (id == pid) return false;
    }
    if (!PlatformTerminateProcess(pid)) return false;
    std::printf("KILL: process %lu ended\n", static_cast<unsigned long>(pid));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0' || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(argc == 2 && std::strcmp(argv[1], "--help") == 0 ? stdout : stderr,
                     "usage: KILL <process id> | KILL <image name>\n"
                     "Ends the process with that id, or every process of that image name.\n"
                     "Exit status: 0 ended at least one, 1 none matched, 2 wrong command line.\n");
        return argc == 2 && std::strcmp(argv[1], "--help") == 0 ? kEnded : kUsage;
    }
    std::vector<ProcessEntry> all;
    PlatformListProcesses(&all);
    const std::vector<std::uint32_t> keep = Protected(all);
    int ended = 0;
    if (IsDecimal(argv[1])) {
        ended += End(static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)), keep) ? 1 : 0;
    } else {
        for (const auto& p : all) {
            if (EqualsIgnoringAsciiCase(p.imageName.c_str(), argv[1]))
                ended += End(p.pid, keep) ? 1 : 0;
        }
    }
    if (ended == 0) std::printf("KILL: no process matched %s\n", argv[1]);
    return ended > 0 ? kEnded : kNoneMatched;
}
