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

}  // namespace

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
        ok = PlatformReportServiceStatus(gStatusHandle, ReportOf(gStatus));
    }
    if (!ok) ReportErrorEvent("SetServiceStatus", PlatformLastError());
    return ok;
}

ServiceReport ReportOf(const ServiceStatusRecord& status) {
    ServiceReport report;
    switch (status.currentState) {
        case kServiceStartPending:
            report.state = ServiceState::kStarting;
            break;
        case kServiceStopPending:
            report.state = ServiceState::kStopping;
            break;
        case kServiceRunning:
            report.state = ServiceState::kRunning;
            break;
        default:
            report.state = ServiceState::kStopped;
    }
    report.acceptsStop = (status.controlsAccepted & kServiceAcceptStop) != 0;
    report.checkPoint = status.checkPoint;
    report.waitHintMs = status.waitHint;
    if (status.win32ExitCode == kErrorServiceSpecific) {
        report.ending = ServiceEnding::kOwnCode;
        report.endingCode = status.serviceSpecificExitCode;
    } else if (status.win32ExitCode != 0) {
        report.ending = ServiceEnding::kPlatformError;
        report.endingCode = status.win32ExitCode;
    }
    return report;
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

void ReportErrorEvent(const char* text, std::uint32_t error) {
    if (gConsoleMode) return;
    gLastErrorCode = error;
    char line[kErrorTextBytes];
    std::snprintf(line, sizeof line, "%s error: %d", gServiceIdentity.serviceName,
                  static_cast<int>(gLastErrorCode));
    PlatformReportErrorEvent(gServiceIdentity.serviceName, line, text);
}

char* FormatError(std::uint32_t code, char* buffer, std::size_t size) {
    if (size == 0) return buffer;
    buffer[0] = '\0';
    std::string text;
    if (!PlatformSystemErrorText(code, &text) || text.size() < 2 ||
        size < text.size() + kErrorTextTailChars) {
        return buffer;
    }
    text.resize(text.size() - 2);  // the closing CR LF
    std::snprintf(buffer, size, "%s (0x%x)", text.c_str(), static_cast<unsigned>(code));
    return buffer;
}
