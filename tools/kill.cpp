// KILL: ends processes by their decimal ids, or by their ids each with the creation time it
// was recorded with ("<id>@<creation time>": a numbered controller names every process a
// restart ends so, in one KILL run), or every process whose program's base name is the given
// image name (without regard to case), that runs under KILL's own account and that was
// started without an instance number as its first argument. The by-name form is the un-numbered
// controller's, and a numbered controller's job starter always carries its instance number: sparing
// those keeps an un-numbered controller (a console run for diagnosis, say) from ending the job
// starters of every numbered instance on the machine; each numbered controller ends its own
// by id. "KILL <image name> <instance>" ends the job starters of that one instance (an
// operator's way to end them after removing the instance). The end is certain (TerminateProcess,
// SIGKILL): a hung job starter would not honour anything gentler. KILL never ends itself or the
// process that started it, nor by name a process whose arguments cannot be read or that runs
// under another account (it says so), or one of another PID namespace (a container's). What it
// names with a creation time, and what it finds by name, it ends through a handle on that very
// process (Linux: a pidfd), and only while it runs under KILL's own account: an id that another
// process has taken since (ids are reused) is never ended in its place.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/processes.h"
#include "platform/system.h"
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

constexpr std::size_t kMaxNumberDigits = 20;  // of a 64-bit creation time

// "<id>" or "<id>@<creation time>", each a decimal number.
bool IsTarget(const char* s, std::uint32_t* pid, std::uint64_t* created, bool* recorded) {
    const std::string text = s;
    const std::size_t at = text.find('@');
    const std::string id = text.substr(0, at);
    const std::string time = at == std::string::npos ? "" : text.substr(at + 1);
    *recorded = at != std::string::npos;
    if (!IsDecimal(id.c_str()) || id.size() > 10) return false;
    if (*recorded && (!IsDecimal(time.c_str()) || time.size() > kMaxNumberDigits)) return false;
    const unsigned long long value = std::strtoull(id.c_str(), nullptr, 10);
    if (value > 0xFFFFFFFFull) return false;
    *pid = static_cast<std::uint32_t>(value);
    *created = *recorded ? std::strtoull(time.c_str(), nullptr, 10) : 0;
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

bool IsProtected(std::uint32_t pid, const std::vector<std::uint32_t>& protectedIds) {
    return std::find(protectedIds.begin(), protectedIds.end(), pid) != protectedIds.end();
}

Outcome Ended(std::uint32_t pid) {
    std::printf("KILL: process %lu ended\n", static_cast<unsigned long>(pid));
    return Outcome::kEnded;
}

// A process that exists but would not end is reported with the system's reason, never as
// "no process matched".
Outcome NotEnded(std::uint32_t pid, const char* error) {
    std::printf("KILL: process %lu could not be ended - %s\n", static_cast<unsigned long>(pid),
                error);
    return Outcome::kFailed;
}

// Ends `pid`, whichever process has that id now, unless it is protected: an operator's
// "KILL <id>".
Outcome End(std::uint32_t pid, const std::vector<std::uint32_t>& protectedIds) {
    if (IsProtected(pid, protectedIds)) return Outcome::kSpared;
    if (PlatformTerminateProcess(pid)) return Ended(pid);
    char error[kErrorTextBytes];
    FormatError(PlatformLastError(), error,
                sizeof error);  // before anything else can change the last error
    if (!PlatformProcessExists(pid)) return Outcome::kSpared;
    return NotEnded(pid, error);
}

// Ends the process `pid` created at `created`, through a watch on that very process, while it
// runs under KILL's own account; an id that has gone to another process is left alone.
Outcome EndRecorded(std::uint32_t pid, std::uint64_t created,
                    const std::vector<std::uint32_t>& protectedIds) {
    if (IsProtected(pid, protectedIds)) return Outcome::kSpared;
    PlatformProcessWatch* watch = PlatformWatchProcess(pid, created);
    if (!watch) {
        if (PlatformProcessExists(pid)) {
            std::printf("KILL: process %lu spared: the id names another process by now\n",
                        static_cast<unsigned long>(pid));
        }
        return Outcome::kSpared;
    }
    Outcome outcome = Outcome::kSpared;
    if (PlatformWatchedAccount(watch) != PlatformOwnAccount()) {
        std::printf("KILL: process %lu spared: it runs under another account\n",
                    static_cast<unsigned long>(pid));
    } else if (PlatformEndWatched(watch)) {
        outcome = Ended(pid);
    } else {
        char error[kErrorTextBytes];
        FormatError(PlatformLastError(), error, sizeof error);
        outcome =
            PlatformWatchedEnded(watch, nullptr, nullptr) ? Outcome::kSpared : NotEnded(pid, error);
    }
    PlatformCloseWatch(watch);
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && PrintVersionIfAsked("KILL", argv[1])) return 0;
    const bool help = argc == 2 && std::strcmp(argv[1], "--help") == 0;
    bool ids = argc >= 2;
    std::uint32_t pid = 0;
    std::uint64_t created = 0;
    bool recorded = false;
    for (int i = 1; i < argc; ++i)
        ids = ids && IsTarget(argv[i], &pid, &created, &recorded);
    const bool byInstance = argc == 3 && IsDecimal(argv[2]) && !IsDecimal(argv[1]);
    if (help || (argc != 2 && !byInstance && !ids) || argv[1][0] == '\0') {
        std::fprintf(help ? stdout : stderr,
                     "usage: KILL <process id>[@<creation time>]... | KILL <image name> "
                     "[<instance>]\n"
                     "Ends the processes with those ids (with a creation time: only while the\n"
                     "id is still that process's and it runs under this account); or every\n"
                     "process of that image name started without a number as its first argument\n"
                     "and running under this account; or, with an instance, those started with\n"
                     "that number (the job starters of that numbered controller).\n"
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
        for (int i = 1; i < argc; ++i) {
            IsTarget(argv[i], &pid, &created, &recorded);
            tally(recorded ? EndRecorded(pid, created, keep) : End(pid, keep));
        }
    } else {
        const long instance = byInstance ? std::atol(argv[2]) : kNoInstanceArgument;
        std::vector<SparedProcess> spared;
        for (const FoundProcess& p : RunningJobStarters(argv[1], instance, &spared))
            tally(EndRecorded(p.pid, p.created, keep));
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
