// Job starter control (see job_starter.h).
#include "supervision/job_starter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "config/configuration.h"
#include "log/log_file.h"
#include "platform/ascii_text.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/system.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "supervision/system_log_entries.h"

namespace {

using Clock = std::chrono::steady_clock;

// The process `pid` as asked about `image`; false when it does not run. A process whose
// command line cannot be read yet (only just started) is looked at again, a millisecond
// apart, until `freshLooksUntil`.
bool Identify(std::uint32_t pid, const char* image, Clock::time_point freshLooksUntil, Identity* id,
              std::uint64_t* created) {
    ProcessFacts facts;
    if (!PlatformProcessFacts(pid, &facts)) return false;
    while (!facts.commandLineKnown && !facts.kernelThread && Clock::now() < freshLooksUntil) {
        PlatformSleep(1);
        if (!PlatformProcessFacts(pid, &facts)) return false;
    }
    *id = IdentifyAs(facts, image, PlatformOwnAccount(), PlatformOwnNamespaceDepth(),
                     [pid](const std::string& path) { return PlatformScriptLine(pid, path); });
    *created = facts.created;
    return true;
}

Clock::time_point FreshLooksFromNow() {
    return Clock::now() + std::chrono::milliseconds(kFreshProcessLookMs);
}

void LogProcessLine(const std::string& image, const char* text, std::uint32_t pid) {
    WriteLogFormatted("Prozess %s  PID(%ld) %s \n", image.c_str(), static_cast<long>(pid), text);
}

bool Runs(const EndTarget& t) {
    if (t.watch) return !PlatformWatchedEnded(t.watch, nullptr, nullptr);
    ProcessFacts facts;
    return PlatformProcessFacts(t.pid, &facts) && facts.created == t.created;
}

// Whether KILL by image name ends process `pid`: only one started without an instance
// argument whose arguments can be read, in the caller's namespace.
bool KillByNameEnds(std::uint32_t pid, const std::string& image) {
    Identity id;
    std::uint64_t created = 0;
    return Identify(pid, image.c_str(), FreshLooksFromNow(), &id, &created) && id.ownNamespace &&
           id.argumentsKnown && InstanceArgument(id.arguments) == kNoInstanceArgument;
}

// Logs that process `pid` was spared and why, once per run.
void SayOnce(JobStarterControl* control, std::uint32_t pid, const char* text) {
    std::vector<std::uint32_t>& said = control->sparedSaid;
    if (std::find(said.begin(), said.end(), pid) != said.end()) return;
    said.push_back(pid);
    LogProcessLine(control->image, text, pid);
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

std::string JobStarterImageFor(const char* databaseSuffix) {
    char image[kCommandLineBytes];
    std::snprintf(image, sizeof image, "QVLJOBSTR%s.EXE", databaseSuffix);
    return image;
}

std::vector<std::string> AllJobStarterImages() {
    std::vector<std::string> images;
    for (const std::string& suffix : KnownDatabaseSuffixes())
        images.push_back(JobStarterImageFor(suffix.c_str()));
    return images;
}

std::string RunProgram::MissingText() const {
    return what + " cannot be found beside the controller, in the current folder or on PATH" +
           (needed ? "" : "; each restart ends the job starter by the controller's own hand");
}

std::vector<RunProgram> FindRunPrograms(const std::string& jobStarterImage) {
    std::vector<RunProgram> programs;
    if (!jobStarterImage.empty()) {
        programs.push_back({"job starter", "job starter " + jobStarterImage, "", true});
    }
    programs.push_back({"KILL", "KILL", "", false});
    for (RunProgram& program : programs) {
        const std::string name = program.needed ? jobStarterImage : "KILL";
        if (!PlatformFindProgram(name.c_str(), &program.path)) program.path.clear();
    }
    return programs;
}

bool RecordedProcessRuns(std::uint32_t pid, std::uint64_t creationTime) {
    ProcessFacts facts;
    return pid != 0 && PlatformProcessFacts(pid, &facts) && facts.created == creationTime;
}

std::vector<FoundProcess> RunningJobStarters(const char* image, long instance,
                                             std::vector<SparedProcess>* spared) {
    std::vector<ProcessEntry> all;
    std::vector<FoundProcess> found;
    if (!PlatformListProcesses(&all)) return found;
    const Clock::time_point freshLooksUntil = FreshLooksFromNow();  // for the whole scan
    for (const ProcessEntry& p : all) {
        // The snapshot's name, where the platform gives one, spares examining every process.
        if (!p.imageHint.empty() && !EqualsIgnoringAsciiCase(p.imageHint.c_str(), image)) continue;
        Identity id;
        std::uint64_t created = 0;
        if (!Identify(p.pid, image, freshLooksUntil, &id, &created) || !id.named ||
            !id.ownNamespace) {
            continue;
        }
        // Another instance's job starter is never a target, whoever runs it: nothing is said.
        if (id.argumentsKnown && InstanceArgument(id.arguments) != instance) continue;
        if (!id.ownAccount) {
            if (spared) spared->push_back({p.pid, SpareReason::kOtherAccount});
        } else if (!id.argumentsKnown) {
            if (spared) spared->push_back({p.pid, SpareReason::kArgumentsUnknown});
        } else if (InstanceArgument(id.arguments) == instance) {
            found.push_back({p.pid, created});
        }
    }
    return found;
}

std::uint32_t LaunchCommandLine(const char* commandLine, std::uint64_t* creationTime,
                                PlatformProcessWatch** watch, std::string* failure,
                                const ChildOutput* output, std::string* outputProblem) {
    std::uint32_t pid = 0;
    std::uint64_t created = 0;
    if (PlatformLaunch(commandLine, &pid, &created, watch, output, outputProblem)) {
        WriteLogFormatted("Prozess %s  PID(%ld) erstellt. \n", commandLine, static_cast<long>(pid));
        if (creationTime) *creationTime = created;
        return pid;
    }
    char error[kErrorTextBytes];
    FormatError(PlatformLastError(), error, sizeof error);
    WriteLogFormatted("Prozess %s: konnte nicht erzeugt werden. Fehler: %s!\n", commandLine, error);
    if (failure) *failure = error;
    return 0;
}

void PlanRestart(JobStarterControl* control, RestartPass* pass) {
    *pass = RestartPass{};
    pass->image = control->image;
    const char* image = control->image.c_str();
    const bool numbered = control->numbered;
    JobStarterRecord& current = control->current;
    // The job starter this run started and the one its previous run recorded, while each is
    // still the process recorded: provably the instance's own, whatever it is named by now.
    PlatformProcessWatch* watch = current.watch;
    current.watch = nullptr;
    if (watch && !PlatformWatchedEnded(watch, nullptr, nullptr)) {
        AddTarget(pass, current.pid, current.creationTime, watch,
                  numbered || KillByNameEnds(current.pid, control->image));
    } else {
        PlatformCloseWatch(watch);
        if (RecordedProcessRuns(current.pid, current.creationTime)) {
            AddTarget(pass, current.pid, current.creationTime, nullptr,
                      numbered || KillByNameEnds(current.pid, control->image));
        }
    }
    // The previous run's job starter only while it runs under the controller's own account:
    // a state file names it, and a process of another account is never the instance's.
    const FoundProcess previous = control->previous;
    control->previous = {0, 0};
    PlatformProcessWatch* recorded = PlatformWatchProcess(previous.pid, previous.created);
    if (recorded && PlatformWatchedAccount(recorded) == PlatformOwnAccount()) {
        AddTarget(pass, previous.pid, previous.created, recorded,
                  numbered || KillByNameEnds(previous.pid, control->image));
    } else if (recorded || RecordedProcessRuns(previous.pid, previous.created)) {
        PlatformCloseWatch(recorded);
        SayOnce(control, previous.pid, "nicht beendet: ein Prozess eines anderen Kontos.");
    }
    // Job starters of this instance that this run did not start: left by an earlier run.
    std::vector<SparedProcess> spared;
    const long instance = numbered ? control->instance : kNoInstanceArgument;
    for (const FoundProcess& p : RunningJobStarters(image, instance, &spared))
        AddTarget(pass, p.pid, p.created, nullptr, true);
    // One KILL run whatever the number of targets (each KILL is followed by the pause): a
    // numbered instance names them all by id, each with its creation time, so that KILL
    // never ends a process that took an id after its target ended; an un-numbered one names
    // the image.
    if (numbered) {
        std::string ids;
        for (const EndTarget& t : pass->targets) {
            ids +=
                (ids.empty() ? "" : " ") + std::to_string(t.pid) + "@" + std::to_string(t.created);
        }
        if (!ids.empty()) pass->kills.push_back(ids);
    } else {
        pass->kills.push_back(control->image);
    }
    // What cannot be told from a numbered instance's job starter, or runs under another
    // account, is never ended by name; each is said once.
    for (const SparedProcess& p : spared) {
        const bool target = std::any_of(pass->targets.begin(), pass->targets.end(),
                                        [&p](const EndTarget& t) { return t.pid == p.pid; });
        if (target) continue;
        if (numbered && p.why == SpareReason::kArgumentsUnknown) continue;  // no KILL by name
        SayOnce(control, p.pid,
                p.why == SpareReason::kOtherAccount
                    ? "nicht beendet: ein Prozess eines anderen Kontos."
                    : "nicht beendet: seine Argumente sind nicht lesbar.");
    }
}

bool StartNextKill(RestartPass* pass) {
    if (pass->nextKill >= pass->kills.size()) return false;
    const std::string command = "KILL " + pass->kills[pass->nextKill++];
    std::string error;
    if (LaunchCommandLine(command.c_str(), nullptr, nullptr, &error) == 0) {
        pass->killFailed = true;
        ReportWarningEvent(KillFailedEntry(command, error));
    }
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

bool SomeTargetUnendable(const RestartPass& pass) {
    for (const EndTarget& t : pass.targets) {
        if ((pass.killFailed || !t.killEnds) && Runs(t)) return true;
    }
    return false;
}

bool EndTargetsItself(RestartPass* pass, bool afterWait) {
    const char* why = afterWait          ? "nach KILL noch aktiv"
                      : pass->killFailed ? "KILL konnte nicht gestartet werden"
                                         : "KILL beendet ihn nicht";
    const char* whyInEnglish = afterWait          ? "it still ran after KILL"
                               : pass->killFailed ? "KILL could not be run"
                                                  : "KILL does not end it";
    bool any = false;
    for (EndTarget& t : pass->targets) {
        if (!Runs(t)) continue;
        any = true;
        const bool ended = t.watch ? PlatformEndWatched(t.watch) : PlatformTerminateProcess(t.pid);
        char error[kErrorTextBytes] = "";
        if (!ended) FormatError(PlatformLastError(), error, sizeof error);
        const std::string text =
            ended ? std::string("vom Controller beendet: ") + why + "."
                  : std::string("konnte vom Controller nicht beendet werden: ") + error + ".";
        LogProcessLine(pass->image, text.c_str(), t.pid);
        ReportWarningEvent(ForcedEndEntry(pass->image, t.pid, whyInEnglish,
                                          ended ? "ended" : std::string("not ended: ") + error));
    }
    return any;
}

void FinishRestart(RestartPass* pass, bool logLeftovers) {
    for (const EndTarget& t : pass->targets) {
        if (logLeftovers && Runs(t)) LogProcessLine(pass->image, "wurde nicht beendet.", t.pid);
        PlatformCloseWatch(t.watch);
    }
    *pass = RestartPass{};
}

bool StartJobStarter(JobStarterControl* control) {
    JobStarterRecord& current = control->current;
    PlatformCloseWatch(current.watch);
    current.watch = nullptr;
    if (control->numbered) {
        std::snprintf(current.commandLine, sizeof current.commandLine, "%s %ld ",
                      control->image.c_str(), control->instance);
    } else {
        std::snprintf(current.commandLine, sizeof current.commandLine, "%s",
                      control->image.c_str());
    }
    current.creationTime = 0;
    // Its output: the file QVLJOBOUT names; without one, a service's goes to the system's
    // journal under the instance's name (where the system has one), a console run's to the
    // console.
    ChildOutput output;
    output.file = gControllerSettings.jobOutput;
    if (output.file.empty() && !gConsoleMode) output.journalName = gServiceIdentity.serviceName;
    std::string problem;
    current.pid = LaunchCommandLine(current.commandLine, &current.creationTime, &current.watch,
                                    nullptr, &output, &problem);
    if (!problem.empty() && !control->outputProblemSaid) {
        control->outputProblemSaid = true;
        WriteLogFormatted("The job starter's output is dropped: %s.\n", problem.c_str());
    }
    return current.pid != 0;
}

void RotateJobOutput(JobStarterControl* control) {
    const ControllerSettings& s = gControllerSettings;
    if (s.jobOutput[0] == '\0') return;
    bool rotated = false;
    std::string why;
    if (!PlatformRotateAppendedFile(s.jobOutput, s.jobOutputRotation, kLogRotationBytes, &rotated,
                                    &why) &&
        !control->outputProblemSaid) {
        control->outputProblemSaid = true;
        WriteLogFormatted("The job starter's output is not rotated: %s.\n", why.c_str());
    }
}

TakeOver TakeOverJobStarter(JobStarterControl* control, bool keyOn, std::uint32_t pid,
                            std::uint64_t created, const std::string& commandLine,
                            std::string* why) {
    TakeOverFacts facts;
    facts.keyOn = keyOn;
    facts.pid = pid;
    facts.ownAccount = PlatformOwnAccount();
    facts.instance = control->numbered ? control->instance : kNoInstanceArgument;
    PlatformProcessWatch* watch = nullptr;
    if (keyOn && pid != 0) {
        // The watch first: what is asked afterwards is then asked of the recorded process.
        watch = PlatformWatchProcess(pid, created);
        facts.runs = watch != nullptr || PlatformProcessExists(pid);
        facts.sameProcess = watch != nullptr;
        if (watch) {
            std::uint64_t now = 0;
            Identify(pid, control->image.c_str(), FreshLooksFromNow(), &facts.identity, &now);
            facts.account = PlatformWatchedAccount(watch);
            facts.sameProcess = now == created && !facts.account.empty();
        }
    }
    const TakeOver verdict = DecideTakeOver(facts);
    const std::string id = "process " + std::to_string(pid);
    if (why) {
        switch (verdict) {
            case TakeOver::kTaken:
            case TakeOver::kKeyOff:
                why->clear();
                break;
            case TakeOver::kNoRecord:
                *why = "the previous run recorded no job starter";
                break;
            case TakeOver::kEnded:
                *why = "its job starter, " + id + ", has ended";
                break;
            case TakeOver::kOtherProcess:
                *why =
                    id + " is no longer the job starter it recorded (another process got the id)";
                break;
            case TakeOver::kOtherAccount:
                *why = id + " runs under another account than the controller's";
                break;
            case TakeOver::kNotThisInstance:
                *why = id + " is not this instance's job starter " + control->image +
                       (control->numbered ? " " + std::to_string(control->instance) : "");
                break;
        }
    }
    if (verdict != TakeOver::kTaken) {
        PlatformCloseWatch(watch);
        return verdict;
    }
    JobStarterRecord& current = control->current;
    PlatformCloseWatch(current.watch);
    current.pid = pid;
    current.creationTime = created;
    current.watch = watch;
    std::snprintf(current.commandLine, sizeof current.commandLine, "%s", commandLine.c_str());
    control->previous = {0, 0};  // it is the current one now
    return verdict;
}

void ForgetJobStarterWatch(JobStarterControl* control) {
    PlatformCloseWatch(control->current.watch);
    control->current.watch = nullptr;
}
