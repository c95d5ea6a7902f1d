// Process watching for tests, on top of the platform interface.
#include "support/process_watch.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

bool ProcessRuns(std::uint32_t pid) {
    char name[kModuleNameChars + 1];
    std::uint64_t created;
    return PlatformProcessIdentity(pid, name, sizeof name, &created);
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

void EndAllJobStarters() {
    std::vector<ProcessEntry> all;
    PlatformListProcesses(&all);
    for (const ProcessEntry& p : all) {
        if (p.imageName == "QVLJOBSTR_ORACLE.EXE") PlatformTerminateProcess(p.pid);
    }
    for (const ProcessEntry& p : all) {
        if (p.imageName == "QVLJOBSTR_ORACLE.EXE") WaitUntilGone(p.pid);
    }
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
