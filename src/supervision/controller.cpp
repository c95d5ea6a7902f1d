// The controller's run (see controller.h).
#include "supervision/controller.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "config/configuration.h"
#include "log/log_file.h"
#include "platform/pipe_client.h"
#include "platform/pipe_server.h"
#include "platform/processes.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "supervision/job_starter.h"
#include "supervision/health.h"
#include "supervision/run_state.h"
#include "supervision/system_log_entries.h"

namespace {

constexpr char kPipeFailureLine[] = "Error CreateNamedPipe\n";

PlatformEvent* hServerStopEvent = nullptr;
// Guards hServerStopEvent: a stop from another thread never sets a closed event.
std::mutex gStopLock;
std::string gPipeName;
RunFailure gRunFailure;

// A console run says in plain words what went wrong; a service has only its log and events.
void TellConsole(const std::string& text) {
    if (!gConsoleMode) return;
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// What one run holds; released in the end sequence whatever the run reached.
struct RunResources {
    PlatformPipeAccess* access = nullptr;
    PlatformPipe* pipe = nullptr;  // with the pipe event that completes its operations
};

void Log(const char* text) {
    WriteLogFormatted("%s", text);
}

// A failed start-up step: keeps the platform error and the line (with the reason in plain
// words, when there is one) for the service's report, then logs the line. Always false, so
// steps can `return Fail(...)`.
bool Fail(const char* line, const std::string& reason = "",
          std::uint32_t error = PlatformLastError()) {
    gRunFailure.error = error;
    std::string text = line;
    if (!reason.empty()) text = text.substr(0, text.find_last_not_of(" \n") + 1) + ": " + reason;
    std::snprintf(gRunFailure.text, sizeof gRunFailure.text, "%s", text.c_str());
    Log(line);
    return false;
}

bool ReportStartPending() {
    return ReportStatusToSCMgr(kServiceStartPending, 0, kStartWaitHintMs);
}

// Creates the stop event, the pipe event, the open access and the pipe, reporting start
// pending between the stages and running at the end; on failure logs the failed stage's
// line and returns false.
bool CreateRunObjects(RunResources* run) {
    if (!ReportStartPending()) return Fail("Error ReportStatusToSCMgr1\n");
    {
        std::lock_guard<std::mutex> lock(gStopLock);
        hServerStopEvent = PlatformCreateEvent();
    }
    if (!hServerStopEvent) return Fail("Error hServerStopEvent\n");
    SetLogStopEvent(hServerStopEvent);
    if (!ReportStartPending()) return Fail("Error ReportStatusToSCMgr2\n");
    std::uint32_t error = 0;
    run->pipe = PlatformNewPipeServer(&error);
    // The same text as the step before: log readers rely on it.
    if (!run->pipe) return Fail("Error ReportStatusToSCMgr2\n", "", error);
    if (!ReportStartPending()) return Fail("Error ReportStatusToSCMgr3\n");
    switch (PlatformOpenPipeAccess(&run->access, &error)) {
        case PipeAccessStep::kMade:
            break;
        case PipeAccessStep::kObtain:
            return Fail("Error PSECURITY_DESCRIPTOR\n", "", error);
        case PipeAccessStep::kInitialise:
            return Fail("Error InitializeSecurityDescriptor\n", "", error);
        case PipeAccessStep::kAttach:
            return Fail("Error SetSecurityDescriptorDacl\n", "", error);
    }
    if (!ReportStartPending()) return Fail("Error ReportStatusToSCMgr4\n");
    if (!PlatformServePipe(run->pipe, gPipeName.c_str(), run->access, &error)) {
        ReportErrorEvent("Die 'named pipe' konnte nicht erstellt werden", error);
        return Fail(kPipeFailureLine, "", error);
    }
    if (!ReportStatusToSCMgr(kServiceRunning, 0, kStartWaitHintMs)) {
        return Fail("Error ReportStatusToSCMgr3\n");
    }
    return true;
}

// Who holds the name of the pipe that could not be created: asked of the system without
// connecting; where it does not tell that way (Windows), asked as a client that sends nothing.
PipeHolder HolderOfPipe() {
    PipeHolder holder = PlatformPipeHolder(gPipeName.c_str());
    if (holder.served && holder.account.empty()) {
        if (PlatformPipeClient* client = PlatformPipeConnect(gPipeName.c_str(), 0)) {
            PlatformPipeClientServer(client, &holder.pid, &holder.account);
            PlatformPipeClientClose(client);
        }
    }
    return holder;
}

// Whether the pipe's holder may be a controller of this installation (an administrator's or
// this account's process, or one the system does not name).
bool HeldByAController(const PipeHolder& holder) {
    return holder.served && (holder.account.empty() || MayRunTheController(holder.account, ""));
}

// The console's words for a start-up step that failed after the configuration. A pipe's name
// held by another account's process is also logged and reported: no controller of this
// instance runs, and the job starter's heartbeats would reach that process.
void ExplainStartFailure(const PipeHolder& holder) {
    char text[kErrorTextBytes];
    FormatError(gRunFailure.error, text, sizeof text);
    if (std::strcmp(gRunFailure.text, kPipeFailureLine) == 0) {
        const std::string failed = "The pipe " + gPipeName + " could not be created: " + text;
        if (!holder.served || holder.account.empty()) {
            TellConsole(failed + ". Is another controller of this instance running?");
        } else if (HeldByAController(holder)) {
            TellConsole(failed + ". It is served by " + PipeHolderText(holder) +
                        ": is another controller of this instance running?");
        } else {
            const std::string line = "The pipe " + gPipeName + " is held by " +
                                     PipeHolderText(holder) +
                                     ", which does not run this installation's controller";
            TellConsole(failed + ". " + line + ".");
            WriteLogFormatted("%s\n", line.c_str());
            ReportErrorEvent(line.c_str(), gRunFailure.error);
        }
        return;
    }
    std::string step = gRunFailure.text;
    step.resize(step.find_last_not_of("\r\n ") + 1);
    TellConsole("The start-up failed at '" + step + "': " + text);
}

// A configuration that failed: its line and its reason in plain words go to the log (where
// its path is known), the console and, for a service, the event log.
int ConfigurationFailed(int result) {
    char line[sizeof "Error GetIniValues 12 \n"];
    std::snprintf(line, sizeof line, "Error GetIniValues %i \n", result);
    const std::string& reason = LastIniExplanation().problem;
    Fail(line, reason, 0);  // a configuration failure carries no platform error
    if (!reason.empty()) WriteLogFormatted("%s\n", reason.c_str());
    TellConsole(reason);
    return result;
}

void LogStartBanner() {
    Log("****************************************\n");
    Log("** Service QVLJOBCTL wurde gestartet  **\n");
    WriteLogFormatted("Servicename     : %s\n", gServiceIdentity.serviceName);
    WriteLogFormatted("Pipename        : %s\n", gPipeName.c_str());
    WriteLogFormatted("Database System : %s\n", gControllerSettings.databaseSuffix);
}

// A log that cannot be written is said once, in the console and the event log: the run goes
// on without it, but an operator must learn that it is blind.
void SayWhetherTheLogIsWritten() {
    bool link = false;
    const std::uint32_t error = LastLogOpenError(&link);
    if (error == 0) return;
    char text[kErrorTextBytes];
    FormatError(error, text, sizeof text);
    const std::string line =
        std::string("The log ") + gControllerSettings.logPath + " cannot be written: " +
        (link ? "it is a link, which the controller never follows (another account may have "
                "placed it to point at a file of its choosing)"
              : text);
    TellConsole(line + ". The controller runs without it.");
    ReportErrorEvent(line.c_str(), error);
}

// A program a restart needs that is missing is said at start-up, so that it is not first
// learnt at a restart.
void SayWhatIsMissing(const std::string& image) {
    for (const RunProgram& program : FindRunPrograms(image)) {
        if (program.path.empty()) TellConsole("Warning: " + program.MissingText() + ".");
    }
}

// A line for the log and the console.
void Say(const std::string& line) {
    WriteLogFormatted("%s\n", line.c_str());
    TellConsole(line);
}

// A previous run whose last write does not say it ended was not stopped: it crashed, was
// killed, or froze and was ended. Said in the log and the system's log, with its last write
// and what it was doing then.
void SayHowThePreviousRunEnded(const RunState& previous) {
    if (previous.ended != 0) return;
    const std::string lastWrite =
        LocalTimeOf(previous.refreshed != 0 ? previous.refreshed : previous.started);
    const std::string doing = previous.phase.empty() ? "doing what it did not say" : previous.phase;
    Say("The previous run, process " + std::to_string(previous.controllerPid) +
        ", ended without a stop: it last wrote its state at " + lastWrite + ", while " + doing +
        ".");
    ReportWarningEvent(UncleanEndEntry(previous.controllerPid, lastWrite, doing));
}

// With QVLADOPT=1, the job starter the previous run left running is taken over when it is
// still that process, of the controller's account and this instance's; else the log says
// why not, and the first pass ends and starts as ever.
void TakeOverOrSayWhyNot(RunContext* run, bool believed, bool missing, const RunState& previous) {
    if (gControllerSettings.adopt == 0) return;
    JobStarterControl& js = run->jobStarter;
    std::string why;
    const TakeOver verdict =
        TakeOverJobStarter(&js, true, believed ? previous.jobStarterPid : 0,
                           previous.jobStarterCreated, previous.jobStarter, &why);
    if (verdict != TakeOver::kTaken) {
        if (!believed) {
            why = missing ? "there is no previous state file"
                          : "the previous state file is not believed";
        }
        Say("No job starter was taken over: " + why + ".");
        return;
    }
    run->takenOver = true;
    RunState& st = run->publication.state;
    st.jobStarterStarted = st.jobStarterTakenOver = std::time(nullptr);
    std::string command = js.current.commandLine;  // without a numbered one's trailing blank
    command.resize(command.find_last_not_of(' ') + 1);
    Say("The controller took over its job starter " + command + " (process " +
        std::to_string(js.current.pid) +
        "), which its previous run left running; its heartbeat time-out begins now.");
    ReportWarningEvent(TakenOverEntry(command, js.current.pid));
}

// The state of a run that has its pipe (so no other run of the instance serves it). The
// previous run's state file names its job starter, which the first pass ends while it is
// still that process, or which is taken over (QVLADOPT); a file that is not believed
// (another account's, a link) names nothing, and that is said once. The count of the
// controller's starts goes on from the previous file's.
void BeginState(RunContext* run, std::uint32_t heartbeatTimeoutMs) {
    const std::string path =
        StateFilePath(gControllerSettings.logPath, gServiceIdentity.instanceSuffix);
    RunState previous;
    std::string problem;
    bool missing = false;
    const bool believed = !path.empty() && ReadRunState(path, "", &previous, &problem, &missing);
    if (believed) {
        run->jobStarter.previous = {previous.jobStarterPid, previous.jobStarterCreated};
        SayHowThePreviousRunEnded(previous);
    } else if (!path.empty() && !missing) {
        Say("The previous state file is not believed: " + problem + "; nothing it names is ended.");
    }
    BeginPublishing(&run->publication, path, gControllerSettings.metricsDir,
                    gServiceIdentity.instanceSuffix, &run->jobStarter.current, TellConsole);
    RunState& st = run->publication.state;
    st.controllerPid = PlatformCurrentProcessId();
    ProcessFacts self;
    PlatformProcessFacts(st.controllerPid, &self);
    st.controllerCreated = self.created;
    st.controllerImage = BaseNameOf(self.executablePath);
    st.mode = gConsoleMode ? "console" : "service";
    st.serviceName = gServiceIdentity.serviceName;
    st.pipe = gPipeName;
    st.heartbeatTimeoutMs = heartbeatTimeoutMs;
    st.restartOnExit = gControllerSettings.restartOnExit;
    st.started = std::time(nullptr);
    st.phase = "starting";
    st.controllerStarts = (believed ? previous.controllerStarts : 0) + 1;
    TakeOverOrSayWhyNot(run, believed, missing, previous);
    Publish(&run->publication);
}

void EndRun(RunResources* run, Publication* publication, bool banner, bool stopped) {
    publication->state.phase = "ended";
    EndPublishing(publication, stopped);
    if (banner) {
        Log("** Service QVLJOBCTL wurde beendet    **\n");
        Log("****************************************\n");
    }
    PlatformClosePipe(run->pipe);
    {
        std::lock_guard<std::mutex> lock(gStopLock);
        SetLogStopEvent(nullptr);
        PlatformCloseEvent(hServerStopEvent);
        hServerStopEvent = nullptr;
    }
    PlatformFreePipeAccess(run->access);
}

}  // namespace

int RunControllerWith(int argc, char** argv, const RunTimes& times) {
    TakeRunIdentity(argc > 0 && argv[0] ? argv[0] : "");
    gPipeName = NamesOfInstance(gServiceIdentity.instanceSuffix).pipe;
    RunResources run;
    RunContext context;
    int outcome = kRunStopped;
    bool banner = true;
    gRunFailure = RunFailure{};
    const int config = GetIniValues(gServiceIdentity.instanceSuffix);
    for (const IniKeyFound& key : LastIniExplanation().unknownKeys)
        TellConsole("Warning: " + UnknownKeyText(key) + ".");
    RunTimes t = times;
    if (t.heartbeatTimeoutMs == 0) t.heartbeatTimeoutMs = gControllerSettings.heartbeatTimeoutMs;
    if (t.selfWatchMs == kConfiguredSelfWatch) t.selfWatchMs = gControllerSettings.selfWatchMs;
    if (config != kIniOk) {
        outcome = ConfigurationFailed(config);
    } else if (!CreateRunObjects(&run)) {
        outcome = kRunStartFailed;
        const bool pipeTaken = std::strcmp(gRunFailure.text, kPipeFailureLine) == 0;
        const PipeHolder holder = pipeTaken ? HolderOfPipe() : PipeHolder{};
        ExplainStartFailure(holder);
        // A second controller of a running instance leaves the running one's log as it was
        // but for its own error line.
        banner = !pipeTaken || !HeldByAController(holder);
    } else {
        JobStarterControl& js = context.jobStarter;
        js.image = JobStarterImageFor(gControllerSettings.databaseSuffix);
        js.numbered = gServiceIdentity.numbered == 1;
        js.instance = gServiceIdentity.instanceNumber;
        js.account = PlatformOwnAccount();
        context.restartOnExit = gControllerSettings.restartOnExit != 0;
        BeginHangReports(&context.hangReports, gControllerSettings.dumpDir,
                         gControllerSettings.dumpKeep, gServiceIdentity.instanceSuffix);
        LogStartBanner();
        SayWhetherTheLogIsWritten();
        SayWhatIsMissing(js.image);
        BeginState(&context, t.heartbeatTimeoutMs);
        if (!Supervise(hServerStopEvent, run.pipe, t, &context)) {
            Fail("Error WaitForMultipleObjects\n");
            outcome = kRunWaitFailed;
        }
    }
    EndRun(&run, &context.publication, banner, outcome == kRunStopped);
    return outcome;
}

int RunController(int argc, char** argv) {
    return RunControllerWith(argc, argv, RunTimes{});
}

void SignalStop() {
    std::lock_guard<std::mutex> lock(gStopLock);
    if (hServerStopEvent) PlatformSetEvent(hServerStopEvent);
}

const RunFailure& LastRunFailure() {
    return gRunFailure;
}
