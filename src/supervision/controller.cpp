// The controller run loop (see controller.h).
#include "supervision/controller.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "config/configuration.h"
#include "host/service_identity.h"
#include "host/status_report.h"
#include "log/log_file.h"
#include "platform/platform.h"
#include "supervision/job_starter.h"

namespace {

constexpr int kPipeNameBytes = 256;

PlatformEvent* hServerStopEvent = nullptr;
// Guards hServerStopEvent: a stop from another thread never sets a closed event.
std::mutex gStopLock;
char gPipeName[kPipeNameBytes];
RunFailure gRunFailure;

// What one run holds; released in the end sequence whatever the run reached.
struct RunResources {
    PlatformEvent* pipeEvent = nullptr;
    PlatformOpenAccess* access = nullptr;
    PlatformPipe* pipe = nullptr;
};

void Log(const char* text) {
    std::snprintf(gLogMessage, sizeof gLogMessage, "%s", text);
    WriteLog(gLogMessage);
}

// A failed start-up step: keeps the platform error and the line for the service's report,
// then logs the line. Always false, so steps can `return Fail(...)`.
bool Fail(const char* line) {
    gRunFailure.error = PlatformLastError();
    std::snprintf(gRunFailure.text, sizeof gRunFailure.text, "%s", line);
    Log(line);
    return false;
}

// The instance from the service name. A name that sorts after the base name
// (the base name followed by any text) is a numbered instance; its suffix is what follows
// the base name's 24 characters.
void TakeIdentity(int argc, char** argv) {
    ServiceIdentity& id = gServiceIdentity;
    id.instanceNumber = 0;
    gJobStarter = JobStarterState{};
    id.numbered = 0;
    std::snprintf(gPipeName, sizeof gPipeName, "%s", kBasePipeName);
    std::snprintf(id.serviceName, sizeof id.serviceName, "%s", argc > 0 && argv[0] ? argv[0] : "");
    id.instanceSuffix[0] = '\0';
    if (std::strcmp(id.serviceName, kBaseServiceName) > 0) {
        if (std::strlen(id.serviceName) > static_cast<std::size_t>(kBaseServiceNameChars)) {
            std::snprintf(id.instanceSuffix, sizeof id.instanceSuffix, "%s",
                          id.serviceName + kBaseServiceNameChars);
        }
        id.instanceNumber = std::atol(id.instanceSuffix);
        std::strncat(gPipeName, id.instanceSuffix, sizeof gPipeName - std::strlen(gPipeName) - 1);
        id.numbered = 1;
    }
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
        return Fail("Error CreateNamedPipe\n");
    }
    if (!ReportStatusToSCMgr(kServiceRunning, 0, kStartWaitHintMs)) {
        return Fail("Error ReportStatusToSCMgr3\n");
    }
    return true;
}

void LogStartBanner() {
    Log("****************************************\n");
    Log("** Service QVLJOBCTL wurde gestartet  **\n");
    std::snprintf(gLogMessage, sizeof gLogMessage, "Servicename     : %s\n",
                  gServiceIdentity.serviceName);
    WriteLog(gLogMessage);
    std::snprintf(gLogMessage, sizeof gLogMessage, "Pipename        : %s\n", gPipeName);
    WriteLog(gLogMessage);
    std::snprintf(gLogMessage, sizeof gLogMessage, "Database System : %s\n",
                  gControllerSettings.databaseSuffix);
    WriteLog(gLogMessage);
}

// Waits for a pending read or write; false when the cycle must end (stop or failed wait).
bool AwaitPipe(PlatformPipe* pipe) {
    return PlatformWaitStopOrPipe(hServerStopEvent, pipe, kWaitForever) == PipeWait::kPipe;
}

// The pipe cycle: listen, read one message, reply with 80 bytes, disconnect. Returns when a
// wait reports the stop event or fails.
void ServePipe(PlatformPipe* pipe, std::uint32_t heartbeatTimeoutMs) {
    char request[kRequestBytes];
    char reply[kReplyRoomBytes];
    for (;;) {
        if (PlatformPipeListen(pipe) == PipeStart::kPending) {
            const PipeWait w = PlatformWaitStopOrPipe(hServerStopEvent, pipe, heartbeatTimeoutMs);
            if (w == PipeWait::kTimeout) {
                // The listen is ended before its record is reused by the read below.
                PlatformPipeCancel(pipe);
                RestartJobStarter();
                std::snprintf(gLogMessage, sizeof gLogMessage,
                              "Prozess QVLJOBSTR%s.EXE antwortet nicht\n",
                              gControllerSettings.databaseSuffix);
                WriteLog(gLogMessage);
            } else if (w != PipeWait::kPipe) {
                return;
            }
        }
        if (PlatformPipeRead(pipe, request, sizeof request) == PipeStart::kPending &&
            !AwaitPipe(pipe)) {
            return;
        }
        // The request text: the bytes of this message up to the first zero, at most 80.
        const std::size_t got = PlatformPipeBytesRead(pipe);
        const std::size_t textLength = strnlen(request, got);
        std::memset(reply, 0, sizeof reply);
        std::snprintf(reply, sizeof reply, "QVLJOBCTL.EXE Read -> [%.*s]",
                      static_cast<int>(textLength), request);
        if (PlatformPipeWrite(pipe, reply, kReplyBytes) == PipeStart::kPending &&
            !AwaitPipe(pipe)) {
            return;
        }
        PlatformPipeDisconnect(pipe);
    }
}

void EndRun(RunResources* run) {
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

int RunControllerFor(int argc, char** argv, std::uint32_t heartbeatTimeoutMs) {
    TakeIdentity(argc, argv);
    gControllerSettings = ControllerSettings{};
    RunResources run;
    int outcome = kRunStopped;
    gRunFailure = RunFailure{};
    const int config = GetIniValues();
    if (config != kIniOk) {
        char line[64];
        std::snprintf(line, sizeof line, "Error GetIniValues %i \n", config);
        PlatformSetLastError(0);  // a configuration failure carries no platform error
        Fail(line);
        outcome = config;
    } else if (!CreateRunObjects(&run)) {
        outcome = kRunStartFailed;
    } else {
        LogStartBanner();
        RestartJobStarter();
        ServePipe(run.pipe, heartbeatTimeoutMs);
    }
    EndRun(&run);
    return outcome;
}

void RunController(int argc, char** argv) {
    RunControllerFor(argc, argv, kHeartbeatTimeoutMs);
}

void SignalStop() {
    std::lock_guard<std::mutex> lock(gStopLock);
    if (hServerStopEvent) PlatformSetEvent(hServerStopEvent);
}

const char* CurrentPipeName() {
    return gPipeName;
}

const RunFailure& LastRunFailure() {
    return gRunFailure;
}
