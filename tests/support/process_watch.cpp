// Process watching for tests, on top of the platform interface.
#include "support/process_watch.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "supervision/job_starter.h"
#include "support/test_support.h"

bool ProcessRuns(std::uint32_t pid) {
    ProcessIdentity identity;
    return PlatformProcessIdentity(pid, &identity);
}

bool WaitUntilRuns(std::uint32_t pid, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (ProcessRuns(pid)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ProcessRuns(pid);
}

bool WaitUntilGone(std::uint32_t pid, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (!ProcessRuns(pid)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !ProcessRuns(pid);
}

std::vector<std::uint32_t> AllJobStarters() {
    std::vector<ProcessEntry> all;
    std::vector<std::uint32_t> found;
    PlatformListProcesses(&all);
    for (const ProcessEntry& p : all) {
        ProcessIdentity identity;
        if (PlatformProcessIdentity(p.pid, &identity) &&
            HasImage(identity, "QVLJOBSTR_ORACLE.EXE")) {
            found.push_back(p.pid);
        }
    }
    return found;
}

void EndAllJobStarters() {
    const std::vector<std::uint32_t> all = AllJobStarters();
    for (const std::uint32_t pid : all)
        PlatformTerminateProcess(pid);
    for (const std::uint32_t pid : all)
        WaitUntilGone(pid);
}

std::string WaitForLines(const std::string& path, int lines, int ms) {
    std::string content;
    for (int waited = 0; waited <= ms; waited += 20) {
        content = ReadFileBytes(path);
        if (std::count(content.begin(), content.end(), '\n') >= lines) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return content;
}
