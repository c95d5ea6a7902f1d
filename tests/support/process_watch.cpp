// Process watching for tests, on top of the platform interface.
#include "support/process_watch.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/processes.h"
#include "support/test_support.h"

bool ProcessRuns(std::uint32_t pid) {
    return PlatformProcessExists(pid);
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

std::vector<std::uint32_t> StartedIds(const std::string& startsFile) {
    std::vector<std::uint32_t> ids;
    std::istringstream lines(ReadFileBytes(startsFile));
    std::string line;
    while (std::getline(lines, line)) {
        const unsigned long id = std::strtoul(line.c_str(), nullptr, 10);
        if (id != 0) ids.push_back(static_cast<std::uint32_t>(id));
    }
    return ids;
}

std::vector<std::uint32_t> RunningStarted(const std::string& startsFile) {
    std::vector<std::uint32_t> running;
    for (const std::uint32_t pid : StartedIds(startsFile))
        if (ProcessRuns(pid)) running.push_back(pid);
    return running;
}

void EndProcesses(const std::vector<std::uint32_t>& pids) {
    for (const std::uint32_t pid : pids)
        PlatformTerminateProcess(pid);
    for (const std::uint32_t pid : pids)
        WaitUntilGone(pid);
}

void EndStarted(const std::string& startsFile) {
    EndProcesses(RunningStarted(startsFile));
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
