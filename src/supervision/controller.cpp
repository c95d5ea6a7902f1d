// The controller run loop (see controller.h).
#include "supervision/controller.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "config/configuration.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "log/log_file.h"
#include "platform/platform.h"
#include "supervision/job_starter.h"
#include "supervision/run_state.h"

namespace {

constexpr int kPipeNameBytes = 256;
constexpr char kPipeFailureLine[] = "Error CreateNamedPipe\n";

using Clock = std::chrono::steady_clock;

PlatformEvent* hServerStopEvent = nullptr;
// Guards hServerStopEvent: a stop from another thread never sets a closed event.
std::mutex gStopLock;
char gPipeName[kPipeNameBytes];
RunFailure gRunFailure;

// What the run publishes in its state file (empty path: nothing is published).
std::string gStatePath;
RunState gRunState;
Clock::time_point gLastStateWrite;
bool gHeartbeatPublished = false;  // since the current job starter was started

void PublishState() {
    if (gStatePath.empty()) return;
    WriteRunState(gStatePath, gRunState);  // a failed write is ignored like a log entry
    gLastStateWrite = Clock::now();
}

// Takes the job starter the last pass started into the published state.
void PublishJobStarter() {
    gRunState.jobStarter = gJobStarter.commandLine;
    gRunState.jobStarterPid = gJobStarter.pid;
    gRunState.jobStarterCreated = gJobStarter.creationTime;
    gRunState.jobStarterStarted = std::time(nullptr);
    gHeartbeatPublished = false;
    PublishState();
}

// The state of a run that has its pipe (so no other run of the instance serves it).
void BeginState(std::uint32_t heartbeatTimeoutMs) {
    RunState& st = gRunState;
    st = RunState{};
    st.controllerPid = PlatformCurrentProcessId();
    char image[kModuleNameChars + 1] = "";
    PlatformProcessIdentity(st.controllerPid, image, sizeof image, &st.controllerCreated);
    st.controllerImage = image;
    st.mode = gConsoleMode ? "console" : "service";
    st.serviceName = gServiceIdentity.serviceName;
    st.pipe = gPipeName;
    st.heartbeatTimeoutMs = heartbeatTimeoutMs;
    st.started = std::time(nullptr);
    gStatePath = StateFilePath(gControllerSettings.logPath, gServiceIdentity.instanceSuffix);
    PublishState();
}

// A console run says in plain words what went wrong; a service has only its log.
void TellConsole(const std::string& text) {
    if (!gConsoleMode) return;
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// What one run holds; released in the end sequence whatever the run reached.
struct RunResources {
    PlatformEvent* pipeEvent = nullptr;
    PlatformOpenAccess* access = nullptr;
    PlatformPipe* pipe = nullptr;
};

void Log(const char* text) {
    WriteLogFormatted("%s", text);
}

// A failed start-up step: keeps the platform error and the line for the service's report,
// then logs the line. Always false, so steps can `return Fail(...)`.
bool Fail(const char* line) {
    gRunFailure.error = PlatformLastError();
    std::snprintf(gRunFailure.text, sizeof gRunFailure.text, "%s", line);
    Log(line);
    PlatformSetLastError(gRunFailure.error);
    return false;
}

// The run's instance from its name (see InstanceFromName). The pipe name carries the
// instance number's decimal form, the same text the job starter is given.
void TakeIdentity(int argc, char** argv) {
    ServiceIdentity& id = gServiceIdentity;
    gJobStarter = JobStarterState{};
    std::snprintf(id.serviceName, sizeof id.serviceName, "%s", argc > 0 && argv[0] ? argv[0] : "");
    id.instanceNumber = 0;
    id.numbered = InstanceFromName(id.serviceName, &id.instanceNumber) ? 1 : 0;
    id.instanceSuffix[0] = '\0';
    if (id.numbered) {
        std::snprintf(id.instanceSuffix, sizeof id.instanceSuffix, "%ld", id.instanceNumber);
    }
    std::snprintf(gPipeName, sizeof gPipeName, "%s%s", kBasePipeName, id.instanceSuffix);
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
    if (!ReportStartPending()) return Fail("Error ReportStatusToSCMgr2\n");
    run->pipeEvent = PlatformCreateEvent();
    // The same text as the step before: log readers rely on it.
    if (!run->pipeEvent) return Fail("Error ReportStatusToSCMgr2\n");
    if (!ReportStartPending()) return Fail("Error ReportStatusToSCMgr3\n");
    static const char* const kAccessErrors[] = {"", "Error PSECURITY_DESCRIPTOR\n",
                                                "Error InitializeSecurityDescriptor\n",
                                                "Error SetSecurityDescriptorDacl\n"};
    const int accessStep = PlatformCreateOpenAccess(&run->access);
    if (accessStep != 0) return Fail(kAccessErrors[accessStep]);
    if (!ReportStartPending()) return Fail("Error ReportStatusToSCMgr4\n");
    run->pipe = PlatformCreatePipe(gPipeName, run->access, run->pipeEvent);
    if (!run->pipe) {
        const std::uint32_t error = PlatformLastError();
        ReportErrorEvent("Die 'named pipe' konnte nicht erstellt werden");
        PlatformSetLastError(error);
        return Fail(kPipeFailureLine);
    }
    if (!ReportStatusToSCMgr(kServiceRunning, 0, kStartWaitHintMs)) {
        return Fail("Error ReportStatusToSCMgr3\n");
    }
    return true;
}

// The console's words for a start-up step that failed after the configuration.
void ExplainStartFailure() {
    char text[kErrorTextBytes];
    PlatformSetLastError(gRunFailure.error);
    FormatLastError(text, sizeof text);
    if (std::strcmp(gRunFailure.text, kPipeFailureLine) == 0) {
        TellConsole(std::string("The pipe ") + gPipeName + " could not be created: " + text +
                    ". Is another controller of this instance running?");
        return;
    }
    std::string step = gRunFailure.text;
    step.resize(step.find_last_not_of("\r\n ") + 1);
    TellConsole("The start-up failed at '" + step + "': " + text);
}

void LogStartBanner() {
    Log("****************************************\n");
    Log("** Service QVLJOBCTL wurde gestartet  **\n");
    WriteLogFormatted("Servicename     : %s\n", gServiceIdentity.serviceName);
    WriteLogFormatted("Pipename        : %s\n", gPipeName);
    WriteLogFormatted("Database System : %s\n", gControllerSettings.databaseSuffix);
}

// How long the heartbeat period has left at `now`: the time-out less what has passed since
// the last sign of life, never below zero.
std::uint32_t PeriodLeft(Clock::time_point lastSignOfLife, std::uint32_t heartbeatTimeoutMs) {
    const auto passed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastSignOfLife);
    if (passed.count() >= static_cast<long long>(heartbeatTimeoutMs)) return 0;
    return heartbeatTimeoutMs - static_cast<std::uint32_t>(passed.count());
}

// Waits for a pending read or write of a connected client, at most the client time limit
// and never past the heartbeat period. kPipe when it completed; kTimeout when the client
// was dropped (the operation cancelled, the client disconnected, one line logged); kStop or
// kFailed when the cycle must end.
PipeWait AwaitClient(PlatformPipe* pipe, std::uint32_t periodLeftMs, std::uint32_t clientLimitMs,
                     const char* dropLine) {
    const std::uint32_t limit = periodLeftMs < clientLimitMs ? periodLeftMs : clientLimitMs;
    const PipeWait w = PlatformWaitStopOrPipe(hServerStopEvent, pipe, limit);
    if (w == PipeWait::kTimeout) {
        PlatformPipeCancel(pipe);
        PlatformPipeDisconnect(pipe);
        Log(dropLine);
    }
    return w;
}

// The pipe cycle: listen, read one message, reply with 80 bytes, disconnect. Every client
// served is a sign of life and starts a new heartbeat period; a client dropped for holding
// the cycle is not, so a job starter that connects and hangs is still restarted on time.
// Returns true when a wait reported the stop event, false when a wait failed.
bool ServePipe(PlatformPipe* pipe, std::uint32_t heartbeatTimeoutMs, std::uint32_t clientLimitMs) {
    char request[kRequestBytes];
    char reply[kReplyRoomBytes];
    Clock::time_point lastSignOfLife = Clock::now();
    for (;;) {
        bool restarted = false;  // the pass below then serves no client: no heartbeat
        if (PlatformPipeListen(pipe) == PipeStart::kPending) {
            const PipeWait w = PlatformWaitStopOrPipe(
                hServerStopEvent, pipe, PeriodLeft(lastSignOfLife, heartbeatTimeoutMs));
            if (w == PipeWait::kTimeout) {
                // The listen is ended before its record is reused by the read below.
                PlatformPipeCancel(pipe);
                gRunState.restarts += 1;
                gRunState.lastRestart = std::time(nullptr);
                gRunState.lastRestartCause =
                    "no heartbeat for " + std::to_string(heartbeatTimeoutMs) + " ms";
                gRunState.jobStarterStarted = 0;  // being restarted
                PublishState();
                RestartJobStarter();
                char image[kCommandLineBytes];
                JobStarterImage(image, sizeof image);
                WriteLogFormatted("Prozess %s antwortet nicht\n", image);
                PublishJobStarter();
                restarted = true;
                lastSignOfLife = Clock::now();  // the new job starter's period begins
            } else if (w != PipeWait::kPipe) {
                return w == PipeWait::kStop;
            }
        }
        PipeWait w = PipeWait::kPipe;
        if (PlatformPipeRead(pipe, request, sizeof request) == PipeStart::kPending) {
            w = AwaitClient(pipe, PeriodLeft(lastSignOfLife, heartbeatTimeoutMs), clientLimitMs,
                            "Verbindung ohne Nachricht getrennt\n");
            if (w == PipeWait::kTimeout) continue;
            if (w != PipeWait::kPipe) return w == PipeWait::kStop;
        }
        // The request text: the bytes of this message up to the first zero, at most 80.
        const std::size_t got = PlatformPipeBytesRead(pipe);
        const std::size_t textLength = strnlen(request, got);
        std::memset(reply, 0, sizeof reply);
        std::snprintf(reply, sizeof reply, kReplyFormat, static_cast<int>(textLength), request);
        if (PlatformPipeWrite(pipe, reply, kReplyBytes) == PipeStart::kPending) {
            w = AwaitClient(pipe, PeriodLeft(lastSignOfLife, heartbeatTimeoutMs), clientLimitMs,
                            "Verbindung ohne Antwort getrennt\n");
            if (w == PipeWait::kTimeout) continue;
            if (w != PipeWait::kPipe) return w == PipeWait::kStop;
        }
        PlatformPipeDisconnect(pipe);
        lastSignOfLife = Clock::now();
        if (restarted) continue;
        // The heartbeat's time reaches the state file at once when it is the job starter's
        // first, then at most every kStateRefreshMs.
        gRunState.lastHeartbeat = std::time(nullptr);
        if (!gHeartbeatPublished ||
            lastSignOfLife - gLastStateWrite >= std::chrono::milliseconds(kStateRefreshMs)) {
            gHeartbeatPublished = true;
            PublishState();
        }
    }
}

void EndRun(RunResources* run) {
    if (!gStatePath.empty()) {
        gRunState.ended = std::time(nullptr);
        PublishState();
        gStatePath.clear();
    }
    Log("** Service QVLJOBCTL wurde beendet    **\n");
    Log("****************************************\n");
    PlatformClosePipe(run->pipe);
    {
        std::lock_guard<std::mutex> lock(gStopLock);
        PlatformCloseEvent(hServerStopEvent);
        hServerStopEvent = nullptr;
    }
    PlatformCloseEvent(run->pipeEvent);
    PlatformFreeOpenAccess(run->access);
}

}  // namespace

int RunControllerFor(int argc, char** argv, std::uint32_t heartbeatTimeoutMs,
                     std::uint32_t clientTimeLimitMs) {
    TakeIdentity(argc, argv);
    gControllerSettings = ControllerSettings{};
    RunResources run;
    int outcome = kRunStopped;
    gRunFailure = RunFailure{};
    const int config = GetIniValues();
    for (const std::string& key : LastIniExplanation().unknownKeys) {
        TellConsole("Warning: " + LastIniExplanation().iniPath + " has the key " + key +
                    " in section [" + kIniSection + "], which the controller does not know.");
    }
    if (heartbeatTimeoutMs == 0) heartbeatTimeoutMs = gControllerSettings.heartbeatTimeoutMs;
    if (config != kIniOk) {
        char line[sizeof "Error GetIniValues 12 \n"];
        std::snprintf(line, sizeof line, "Error GetIniValues %i \n", config);
        PlatformSetLastError(0);  // a configuration failure carries no platform error
        Fail(line);
        TellConsole(LastIniExplanation().problem);
        outcome = config;
    } else if (!CreateRunObjects(&run)) {
        outcome = kRunStartFailed;
        ExplainStartFailure();
    } else {
        BeginState(heartbeatTimeoutMs);
        LogStartBanner();
        RestartJobStarter();
        PublishJobStarter();
        if (!ServePipe(run.pipe, heartbeatTimeoutMs, clientTimeLimitMs)) {
            Fail("Error WaitForMultipleObjects\n");
            outcome = kRunWaitFailed;
        }
    }
    EndRun(&run);
    return outcome;
}

int RunController(int argc, char** argv) {
    return RunControllerFor(argc, argv, 0);
}

void SignalStop() {
    std::lock_guard<std::mutex> lock(gStopLock);
    if (hServerStopEvent) PlatformSetEvent(hServerStopEvent);
}

const RunFailure& LastRunFailure() {
    return gRunFailure;
}
