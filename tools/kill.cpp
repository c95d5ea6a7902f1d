// KILL: ends processes by their decimal ids (a numbered controller names every process a
// restart ends in one KILL run), or every process whose program's base name is the given
// image name (without regard to case), that runs under KILL's own account and that was
// started without an instance number as its first argument. The by-name form is the un-numbered
// controller's, and a numbered controller's job starter always carries its instance number: sparing
// those keeps an un-numbered controller (a console run for diagnosis, say) from ending the job
// starters of every numbered instance on the machine; each numbered controller ends its own
// by id. "KILL <image name> <instance>" ends the job starters of that one instance (an
// operator's way to end them after removing the instance). The end is certain (TerminateProcess,
// SIGKILL): a hung job starter would not honour anything gentler. KILL never ends itself or the
// process that started it, nor by name a process whose arguments cannot be read or that runs
// under another account (it says so), or one of another PID namespace (a container's).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/processes.h"
#include "service/status_report.h"
#include "service/version.h"
#include "supervision/job_starter.h"

namespace {

// 3 is apart from the usage error, so that a caller can tell a process that would not end
// (access denied, say) from a wrong command line.
constexpr int kEnded = 0, kNoneMatched = 1, kUsage = 2, kNotEnded = 3;

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

enum class Outcome { kSpared, kEnded, kFailed };

// Ends `pid` unless it is protected; a process that exists but would not end is reported
// with the system's reason, never as "no process matched".
Outcome End(std::uint32_t pid, const std::vector<std::uint32_t>& protectedIds) {
    for (std::uint32_t id : protectedIds) {
        if (id == pid) return Outcome::kSpared;
    }
    if (PlatformTerminateProcess(pid)) {
        std::printf("KILL: process %lu ended\n", static_cast<unsigned long>(pid));
        return Outcome::kEnded;
    }
    char error[kErrorTextBytes];
    FormatLastError(error, sizeof error);  // before anything else can change the last error
    if (!PlatformProcessExists(pid)) return Outcome::kSpared;
    std::printf("KILL: process %lu could not be ended - %s\n", static_cast<unsigned long>(pid),
                error);
    return Outcome::kFailed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && PrintVersionIfAsked("KILL", argv[1])) return 0;
    const bool help = argc == 2 && std::strcmp(argv[1], "--help") == 0;
    bool ids = argc >= 2;
    for (int i = 1; i < argc; ++i)
        ids = ids && IsDecimal(argv[i]);
    const bool byInstance = argc == 3 && IsDecimal(argv[2]) && !IsDecimal(argv[1]);
    if (help || (argc != 2 && !byInstance && !ids) || argv[1][0] == '\0') {
        std::fprintf(help ? stdout : stderr,
                     "usage: KILL <process id>... | KILL <image name> [<instance>]\n"
                     "Ends the processes with those ids; or every process of that image name\n"
                     "started without a number as its first argument and running under this\n"
                     "account; or, with an instance, those started with that number (the job\n"
                     "starters of that numbered controller).\n"
                     "Exit status: 0 ended at least one, 1 none matched, 2 wrong command line,\n"
                     "3 one matched but could not be ended (the reason is printed).\n");
        return help ? kEnded : kUsage;
    }
    std::vector<ProcessEntry> all;
    PlatformListProcesses(&all);
    const std::vector<std::uint32_t> keep = Protected(all);
    int ended = 0, failed = 0;
    auto tally = [&](Outcome o) {
        ended += o == Outcome::kEnded ? 1 : 0;
        failed += o == Outcome::kFailed ? 1 : 0;
    };
    if (ids) {
        for (int i = 1; i < argc; ++i)
            tally(End(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)), keep));
    } else {
        const long instance = byInstance ? std::atol(argv[2]) : kNoInstanceArgument;
        std::vector<SparedProcess> spared;
        for (const FoundProcess& p : RunningJobStarters(argv[1], instance, &spared))
            tally(End(p.pid, keep));
        // Whether such a process was started with an instance number cannot be told: it may
        // be a numbered controller's job starter, which is never ended by name; nor is one
        // of another account, whatever it is named.
        for (const SparedProcess& p : spared) {
            std::printf("KILL: process %lu spared: %s\n", static_cast<unsigned long>(p.pid),
                        p.why == SpareReason::kOtherAccount ? "it runs under another account"
                                                            : "its arguments cannot be read");
        }
    }
    if (failed > 0) return kNotEnded;
    if (ended == 0) std::printf("KILL: no process matched %s\n", argv[1]);
    return ended > 0 ? kEnded : kNoneMatched;
}
