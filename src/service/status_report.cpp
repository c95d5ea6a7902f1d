// Status and error reporting (see status_report.h).
#include "service/status_report.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/event_log.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "service/service_identity.h"

PlatformStatusHandle* gStatusHandle = nullptr;
std::uint32_t gLastErrorCode = 0;

namespace {

// The status block is written by the service thread and the control handler; the lock
// makes building and handing over one record a single step, so no report is ever torn.
std::mutex gStatusLock;
ServiceStatusRecord gStatus = {kServiceWin32OwnProcess, kServiceStopped, 0, 0, 0, 0, 0};
std::uint32_t gCheckPoint = 1;

// A kind of warning: its event id (as events.mc numbers it: severity warning, facility 0),
// its journal MESSAGE_ID, and its text with the insertion strings' places %1, %2, ..., word
// for word as the message table has it.
struct WarningKind {
    std::uint32_t messageId;
    const char* journalId;
    const char* text;
};
const WarningKind kRestart = {
    0x80000100, "55e7eb5da81446dca54fd9b1f627a7fe",
    "%1 restarted its job starter %2 after %3. The old process %4 (exit code %5) is gone; the "
    "new one is process %6."};
const WarningKind kKillFailed = {0x80000101, "85315ee426d7455a88845aa6ecedc8bf",
                                 "%1 could not run %2 to end its job starter: %3"};
const WarningKind kForcedEnd = {
    0x80000102, "c0cb179fbbf0459caf154185c6adb326",
    "%1 ended its job starter %2, process %3, by its own hand (%4): %5"};

const WarningKind kTakenOver = {
    0x80000103, "a4160d60243247ce8aeb3deb65afee96",
    "%1 took over its job starter %2, process %3, which its previous run left running."};
const WarningKind kUncleanEnd = {
    0x80000104, "932a8aefc5d34d6ea3bc6fc04750a5b6",
    "%1 started again after its previous run, process %2, ended without a stop: that run last "
    "wrote its state at %3, while %4."};

// The entry of `kind` with `inserts` after the service's name, and the fields after the
// service's and the instance's.
WarningEntry EntryOf(const WarningKind& kind, const std::vector<std::string>& inserts,
                     const std::vector<std::pair<std::string, std::string>>& fields) {
    WarningEntry e{kind.messageId, kind.journalId, "", {gServiceIdentity.serviceName}, {}};
    e.inserts.insert(e.inserts.end(), inserts.begin(), inserts.end());
    e.fields = {{"QVL_SERVICE", gServiceIdentity.serviceName},
                {"QVL_INSTANCE", gServiceIdentity.instanceSuffix}};
    e.fields.insert(e.fields.end(), fields.begin(), fields.end());
    for (const char* p = kind.text; *p != '\0'; ++p) {
        if (*p == '%' && p[1] >= '1' && p[1] <= '9') {
            const std::size_t n = static_cast<std::size_t>(p[1] - '1');
            e.text += n < e.inserts.size() ? e.inserts[n] : "";
            ++p;
        } else {
            e.text += *p;
        }
    }
    return e;
}

std::string Known(std::int64_t value) {
    return value < 0 ? "unknown" : std::to_string(value);
}
std::string KnownPid(std::uint32_t pid) {
    return pid == 0 ? "none" : std::to_string(pid);
}

}  // namespace

WarningEntry RestartEntry(const std::string& image, const std::string& cause,
                          const std::string& causeText, std::uint32_t oldPid, std::int64_t exitCode,
                          std::uint32_t newPid, const std::string& hangReport) {
    std::vector<std::pair<std::string, std::string>> fields = {{"QVL_CAUSE", cause}};
    if (oldPid != 0) fields.push_back({"QVL_JOB_STARTER_PID", std::to_string(oldPid)});
    if (exitCode >= 0) fields.push_back({"QVL_EXIT_CODE", std::to_string(exitCode)});
    if (newPid != 0) fields.push_back({"QVL_NEW_JOB_STARTER_PID", std::to_string(newPid)});
    if (!hangReport.empty()) fields.push_back({"QVL_HANG_REPORT", hangReport});
    const std::string why =
        hangReport.empty() ? causeText : causeText + " (hang report " + hangReport + ")";
    return EntryOf(kRestart, {image, why, KnownPid(oldPid), Known(exitCode), KnownPid(newPid)},
                   fields);
}

WarningEntry KillFailedEntry(const std::string& command, const std::string& error) {
    return EntryOf(kKillFailed, {command, error}, {{"QVL_COMMAND", command}, {"QVL_ERROR", error}});
}

WarningEntry ForcedEndEntry(const std::string& image, std::uint32_t pid, const std::string& why,
                            const std::string& outcome) {
    return EntryOf(kForcedEnd, {image, std::to_string(pid), why, outcome},
                   {{"QVL_JOB_STARTER_PID", std::to_string(pid)},
                    {"QVL_REASON", why},
                    {"QVL_OUTCOME", outcome}});
}

WarningEntry TakenOverEntry(const std::string& commandLine, std::uint32_t pid) {
    return EntryOf(kTakenOver, {commandLine, std::to_string(pid)},
                   {{"QVL_JOB_STARTER_PID", std::to_string(pid)}});
}

WarningEntry UncleanEndEntry(std::uint32_t pid, const std::string& lastWrite,
                             const std::string& doing) {
    return EntryOf(kUncleanEnd, {std::to_string(pid), lastWrite, doing},
                   {{"QVL_PREVIOUS_PID", std::to_string(pid)},
                    {"QVL_LAST_WRITE", lastWrite},
                    {"QVL_PHASE", doing}});
}

void ReportWarningEvent(const WarningEntry& entry) {
    if (gConsoleMode) return;
    PlatformReportWarningEvent(gServiceIdentity.serviceName, entry);
}

bool ReportStatusToSCMgr(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint) {
    if (gConsoleMode) return true;
    bool ok;
    {
        std::lock_guard<std::mutex> lock(gStatusLock);
        gStatus.controlsAccepted = state == kServiceStartPending ? 0 : kServiceAcceptStop;
        gStatus.currentState = state;
        gStatus.win32ExitCode = exitCode;
        gStatus.waitHint = waitHint;
        gStatus.checkPoint =
            (state == kServiceRunning || state == kServiceStopped) ? 0 : gCheckPoint++;
        ok = PlatformReportServiceStatus(gStatusHandle, gStatus);
    }
    if (!ok) ReportErrorEvent("SetServiceStatus");
    return ok;
}

ServiceStatusRecord CurrentServiceStatus() {
    std::lock_guard<std::mutex> lock(gStatusLock);
    return gStatus;
}

void SetServiceStatusIdentity(std::uint32_t serviceType, std::uint32_t specificExitCode) {
    std::lock_guard<std::mutex> lock(gStatusLock);
    gStatus.serviceType = serviceType;
    gStatus.serviceSpecificExitCode = specificExitCode;
}

void ReportErrorEvent(const char* text) {
    if (gConsoleMode) return;
    gLastErrorCode = PlatformLastError();
    char line[kErrorTextBytes];
    std::snprintf(line, sizeof line, "%s error: %d", gServiceIdentity.serviceName,
                  static_cast<int>(gLastErrorCode));
    PlatformReportErrorEvent(gServiceIdentity.serviceName, line, text);
}

char* FormatLastError(char* buffer, std::size_t size) {
    if (size == 0) return buffer;
    buffer[0] = '\0';
    std::string text;
    if (!PlatformSystemErrorText(PlatformLastError(), &text) || text.size() < 2 ||
        size < text.size() + kErrorTextTailChars) {
        return buffer;
    }
    text.resize(text.size() - 2);  // the closing CR LF
    std::snprintf(buffer, size, "%s (0x%x)", text.c_str(),
                  static_cast<unsigned>(PlatformLastError()));
    return buffer;
}
