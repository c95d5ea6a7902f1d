// Job starter control (see job_starter.h).
#include "supervision/job_starter.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/configuration.h"
#include "log/log_file.h"
#include "platform/ascii_text.h"
#include "platform/platform.h"
#include "service/service_identity.h"
#include "service/status_report.h"

JobStarterState gJobStarter;

namespace {

// The job starter the instance's previous run recorded; the first pass of a run ends it.
FoundProcess gPrevious = {0, 0};

bool IsDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The instance argument of a process started with `arguments` (see RunningJobStarters).
long InstanceArgument(const std::string& arguments) {
    constexpr std::size_t kMaxDigits = 9;  // an instance number fits a 32-bit long
    const std::string first = arguments.substr(0, arguments.find_first_of(" \t"));
    if (!IsDecimal(first) || first.size() > kMaxDigits) return kNoInstanceArgument;
    return std::atol(first.c_str());
}

void LogProcessLine(const char* text, std::uint32_t pid) {
    char image[kCommandLineBytes];
    JobStarterImage(image, sizeof image);
    WriteLogFormatted("Prozess %s  PID(%ld) %s \n", image, static_cast<long>(pid), text);
}

bool Runs(const EndTarget& t) {
    if (t.watch) return !PlatformWatchedEnded(t.watch, nullptr, nullptr);
    ProcessIdentity id;
    return PlatformProcessIdentity(t.pid, &id) && id.created == t.created;
}

// Whether KILL by image name ends process `pid`: only one started without an instance
// argument whose arguments can be read, in the caller's namespace.
bool KillByNameEnds(std::uint32_t pid) {
    ProcessIdentity id;
    return PlatformProcessIdentity(pid, &id) && id.ownNamespace && id.argumentsKnown &&
           InstanceArgument(id.arguments) == kNoInstanceArgument;
}

void AddTarget(RestartPass* pass, std::uint32_t pid, std::uint64_t created,
               PlatformProcessWatch* watch, bool killEnds) {
    for (const EndTarget& t : pass->targets) {
        if (t.pid == pid) {
            PlatformCloseWatch(watch);
            return;
        }
    }
    if (!watch) watch = PlatformWatchProcess(pid, created);
    pass->targets.push_back({pid, watch, created, killEnds});
}

}  // namespace

void ResetJobStarter(std::uint32_t previousPid, std::uint64_t previousCreated) {
    gJobStarter = JobStarterState{};
    gPrevious = {previousPid, previousCreated};
}

bool HasImage(const ProcessIdentity& identity, const char* image) {
    return (!identity.executable.empty() &&
            EqualsIgnoringAsciiCase(identity.executable.c_str(), image)) ||
           (!identity.program.empty() && EqualsIgnoringAsciiCase(identity.program.c_str(), image));
}

bool IsRecordedProcess(std::uint32_t pid, const char* image, std::uint64_t creationTime) {
    ProcessIdentity id;
    return pid != 0 && PlatformProcessIdentity(pid, &id) && id.created == creationTime &&
           HasImage(id, image);
}

void JobStarterImage(char* image, std::size_t size) {
    std::snprintf(image, size, "QVLJOBSTR%s.EXE", gControllerSettings.databaseSuffix);
}

std::vector<FoundProcess> RunningJobStarters(const char* image, long instance,
                                             std::vector<std::uint32_t>* unknown) {
    std::vector<ProcessEntry> all;
    std::vector<FoundProcess> found;
    if (!PlatformListProcesses(&all)) return found;
    for (const ProcessEntry& p : all) {
        // The snapshot's name, where the platform gives one, spares examining every process.
        if (!p.imageHint.empty() && !EqualsIgnoringAsciiCase(p.imageHint.c_str(), image)) continue;
        ProcessIdentity id;
        if (!PlatformProcessIdentity(p.pid, &id) || !HasImage(id, image) || !id.ownNamespace) {
            continue;
        }
        if (!id.argumentsKnown) {
            if (unknown) unknown->push_back(p.pid);
        } else if (InstanceArgument(id.arguments) == instance) {
            found.push_back({p.pid, id.created});
        }
    }
    return found;
}

std::uint32_t LaunchCommandLine(const char* commandLine, std::uint64_t* creationTime,
                                PlatformProcessWatch** watch) {
    std::uint32_t pid = 0;
    std::uint64_t created = 0;
    if (PlatformLaunch(commandLine, &pid, &created, watch)) {
        WriteLogFormatted("Prozess %s  PID(%ld) erstellt. \n", commandLine, static_cast<long>(pid));
        if (creationTime) *creationTime = created;
        return pid;
    }
    char error[kErrorTextBytes];
    FormatLastError(error, sizeof error);
    WriteLogFormatted("Prozess %s: konnte nicht erzeugt werden. Fehler: %s!\n", commandLine, error);
    return 0;
}

void PlanRestart(RestartPass* pass, PlatformProcessWatch* current) {
    *pass = RestartPass{};
    char image[kCommandLineBytes];
    JobStarterImage(image, sizeof image);
    const bool numbered = gServiceIdentity.numbered == 1;
    // The job starter this run started and the one its previous run recorded, while each is
    // still the process recorded: provably the instance's own, whatever can be read of them.
    if (current && !PlatformWatchedEnded(current, nullptr, nullptr)) {
        AddTarget(pass, gJobStarter.pid, gJobStarter.creationTime, current,
                  numbered || KillByNameEnds(gJobStarter.pid));
    } else {
        PlatformCloseWatch(current);
        if (IsRecordedProcess(gJobStarter.pid, image, gJobStarter.creationTime)) {
            AddTarget(pass, gJobStarter.pid, gJobStarter.creationTime, nullptr,
                      numbered || KillByNameEnds(gJobStarter.pid));
        }
    }
    if (IsRecordedProcess(gPrevious.pid, image, gPrevious.created)) {
        AddTarget(pass, gPrevious.pid, gPrevious.created, nullptr,
                  numbered || KillByNameEnds(gPrevious.pid));
    }
    gPrevious = {0, 0};
    // Job starters of this instance that this run did not start: left by an earlier run.
    std::vector<std::uint32_t> unknown;
    const long instance = numbered ? gServiceIdentity.instanceNumber : kNoInstanceArgument;
    for (const FoundProcess& p : RunningJobStarters(image, instance, &unknown))
        AddTarget(pass, p.pid, p.created, nullptr, true);
    if (numbered) {
        for (const EndTarget& t : pass->targets)
            pass->kills.push_back(std::to_string(t.pid));
        return;
    }
    pass->kills.push_back(image);
    // What cannot be told from a numbered instance's job starter is never ended by name.
    for (std::uint32_t pid : unknown) {
        const bool target = std::any_of(pass->targets.begin(), pass->targets.end(),
                                        [pid](const EndTarget& t) { return t.pid == pid; });
        if (!target) LogProcessLine("nicht beendet: seine Argumente sind nicht lesbar.", pid);
    }
}

bool StartNextKill(RestartPass* pass) {
    if (pass->nextKill >= pass->kills.size()) return false;
    const std::string command = "KILL " + pass->kills[pass->nextKill++];
    if (LaunchCommandLine(command.c_str()) == 0) pass->killFailed = true;
    return true;
}

bool TargetsEnded(RestartPass* pass, PlatformProcessWatch** waitOn) {
    bool ended = true;
    if (waitOn) *waitOn = nullptr;
    for (const EndTarget& t : pass->targets) {
        if (!Runs(t)) continue;
        if (waitOn && ended) *waitOn = t.watch;
        if (waitOn && !t.watch) *waitOn = nullptr;
        ended = false;
    }
    return ended;
}

AfterKills WhatAfterKills(RestartPass* pass) {
    if (TargetsEnded(pass)) return AfterKills::kStart;
    for (const EndTarget& t : pass->targets) {
        if ((pass->killFailed || !t.killEnds) && Runs(t)) return AfterKills::kEndItself;
    }
    return AfterKills::kAwaitEnd;
}

bool EndTargetsItself(RestartPass* pass, bool afterWait) {
    const char* why = afterWait          ? "nach KILL noch aktiv"
                      : pass->killFailed ? "KILL konnte nicht gestartet werden"
                                         : "KILL beendet ihn nicht";
    bool any = false;
    for (EndTarget& t : pass->targets) {
        if (!Runs(t)) continue;
        any = true;
        const bool ended = t.watch ? PlatformEndWatched(t.watch) : PlatformTerminateProcess(t.pid);
        char error[kErrorTextBytes] = "";
        if (!ended) FormatLastError(error, sizeof error);
        const std::string text =
            ended ? std::string("vom Controller beendet: ") + why + "."
                  : std::string("konnte vom Controller nicht beendet werden: ") + error + ".";
        LogProcessLine(text.c_str(), t.pid);
    }
    return any;
}

void FinishRestart(RestartPass* pass, bool logLeftovers) {
    for (const EndTarget& t : pass->targets) {
        if (logLeftovers && Runs(t)) LogProcessLine("wurde nicht beendet.", t.pid);
        PlatformCloseWatch(t.watch);
    }
    *pass = RestartPass{};
}

PlatformProcessWatch* StartJobStarter() {
    char image[kCommandLineBytes];
    JobStarterImage(image, sizeof image);
    if (gServiceIdentity.numbered == 1) {
        std::snprintf(gJobStarter.commandLine, sizeof gJobStarter.commandLine, "%s %ld ", image,
                      gServiceIdentity.instanceNumber);
    } else {
        std::snprintf(gJobStarter.commandLine, sizeof gJobStarter.commandLine, "%s", image);
    }
    PlatformProcessWatch* watch = nullptr;
    gJobStarter.creationTime = 0;
    gJobStarter.pid = LaunchCommandLine(gJobStarter.commandLine, &gJobStarter.creationTime, &watch);
    return watch;
}
