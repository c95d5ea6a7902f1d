// Job starter control (see job_starter.h).
#include "supervision/job_starter.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/ascii_text.h"
#include "config/configuration.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "log/log_file.h"
#include "platform/platform.h"

JobStarterState gJobStarter;

namespace {

constexpr int kDecimalIdBytes = 24;  // a process id in decimal, with room to spare

void Kill(const char* target, std::uint32_t pauseMs) {
    char command[kCommandLineBytes];
    std::snprintf(command, sizeof command, "KILL %s", target);
    LaunchCommandLine(command);
    PlatformSleep(pauseMs);
}

bool Runs(std::uint32_t pid) {
    char name[kModuleNameChars + 1];
    std::uint64_t created = 0;
    return PlatformProcessIdentity(pid, name, sizeof name, &created);
}

// Waits, up to kEndWaitMs, until the job starters KILL was told to end are gone; logs each
// one that is still there, and then the new one is started all the same.
void AwaitEnd(const std::vector<std::uint32_t>& pids, const char* image) {
    constexpr std::uint32_t kPollMs = 50;
    for (std::uint32_t waited = 0; waited < kEndWaitMs; waited += kPollMs) {
        bool anyLeft = false;
        for (std::uint32_t pid : pids)
            anyLeft = anyLeft || Runs(pid);
        if (!anyLeft) return;
        PlatformSleep(kPollMs);
    }
    for (std::uint32_t pid : pids) {
        if (!Runs(pid)) continue;
        WriteLogFormatted("Prozess %s  PID(%ld) wurde nicht beendet. \n", image,
                          static_cast<long>(pid));
    }
}

void Launch(const char* command) {
    std::snprintf(gJobStarter.commandLine, sizeof gJobStarter.commandLine, "%s", command);
    gJobStarter.creationTime = 0;
    gJobStarter.pid = LaunchCommandLine(command, &gJobStarter.creationTime);
}

bool IsDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The instance argument process `pid` was started with (see RunningJobStarters).
long InstanceArgument(std::uint32_t pid) {
    constexpr std::size_t kMaxDigits = 9;  // an instance number fits a 32-bit long
    std::string arguments;
    if (!PlatformProcessArguments(pid, &arguments)) return kNoInstanceArgument;
    const std::string first = arguments.substr(0, arguments.find_first_of(" \t"));
    if (!IsDecimal(first) || first.size() > kMaxDigits) return kNoInstanceArgument;
    return std::atol(first.c_str());
}

}  // namespace

bool IsRecordedProcess(std::uint32_t pid, const char* image, std::uint64_t creationTime) {
    char name[kModuleNameChars + 1] = "";
    std::uint64_t created = 0;
    if (pid == 0 || !PlatformProcessIdentity(pid, name, sizeof name, &created)) return false;
    return name[0] != '\0' && EqualsIgnoringAsciiCase(name, image) && created == creationTime;
}

void JobStarterImage(char* image, std::size_t size) {
    std::snprintf(image, size, "QVLJOBSTR%s.EXE", gControllerSettings.databaseSuffix);
}

std::vector<std::uint32_t> RunningJobStarters(const char* image, long instance) {
    std::vector<ProcessEntry> all;
    std::vector<std::uint32_t> found;
    if (!PlatformListProcesses(&all)) return found;
    for (const ProcessEntry& p : all) {
        if (EqualsIgnoringAsciiCase(p.imageName.c_str(), image) &&
            InstanceArgument(p.pid) == instance) {
            found.push_back(p.pid);
        }
    }
    return found;
}

std::uint32_t LaunchCommandLine(const char* commandLine, std::uint64_t* creationTime) {
    std::uint32_t pid = 0;
    std::uint64_t created = 0;
    if (PlatformLaunch(commandLine, &pid, &created)) {
        WriteLogFormatted("Prozess %s  PID(%ld) erstellt. \n", commandLine, static_cast<long>(pid));
        if (creationTime) *creationTime = created;
        return pid;
    }
    char error[kErrorTextBytes];
    FormatLastError(error, sizeof error);
    WriteLogFormatted("Prozess %s: konnte nicht erzeugt werden. Fehler: %s!\n", commandLine, error);
    return 0;
}

void RestartJobStarterPausing(std::uint32_t killPauseMs) {
    char image[kCommandLineBytes], command[kCommandLineBytes];
    JobStarterImage(image, sizeof image);
    if (gServiceIdentity.numbered == 1) {
        const long instance = gServiceIdentity.instanceNumber;
        std::vector<std::uint32_t> ended;
        if (gJobStarter.pid != 0 &&
            IsRecordedProcess(gJobStarter.pid, image, gJobStarter.creationTime))
            ended.push_back(gJobStarter.pid);
        // Job starters of this instance that this run did not start: left by an earlier
        // run, or the remembered one when it could not be examined.
        for (std::uint32_t pid : RunningJobStarters(image, instance)) {
            if (std::find(ended.begin(), ended.end(), pid) == ended.end()) ended.push_back(pid);
        }
        for (std::uint32_t pid : ended) {
            char id[kDecimalIdBytes];
            std::snprintf(id, sizeof id, "%ld", static_cast<long>(pid));
            Kill(id, killPauseMs);
        }
        AwaitEnd(ended, image);
        std::snprintf(command, sizeof command, "%s %ld ", image, instance);
        Launch(command);
        return;
    }
    // What KILL's by-name form ends: the job starters started without an instance number.
    const std::vector<std::uint32_t> ended = RunningJobStarters(image, kNoInstanceArgument);
    Kill(image, killPauseMs);
    AwaitEnd(ended, image);
    Launch(image);  // remembered only to be shown: this pass never ends it by its id
}

void RestartJobStarter() {
    RestartJobStarterPausing(kKillPauseMs);
}
