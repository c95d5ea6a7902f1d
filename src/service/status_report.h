// Speaking to the platform about the service: its state for the service manager, error
// entries for the event log, and the text of the last system error. In console mode the
// first two do nothing, so the controller runs unchanged outside the service manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/event_log.h"
#include "platform/service_manager.h"

// The service's status record, the platform's SERVICE_STATUS: fields in the platform's order,
// with its numbering. The service-manager port takes what it says as a ServiceReport.
struct ServiceStatusRecord {
    std::uint32_t serviceType;
    std::uint32_t currentState;
    std::uint32_t controlsAccepted;
    std::uint32_t win32ExitCode;
    std::uint32_t serviceSpecificExitCode;
    std::uint32_t checkPoint;
    std::uint32_t waitHint;
};
constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceStartPending = 2;
constexpr std::uint32_t kServiceStopPending = 3;
constexpr std::uint32_t kServiceRunning = 4;
constexpr std::uint32_t kServiceAcceptStop = 1;
// ERROR_SERVICE_SPECIFIC_ERROR: the exit code that points at the service-specific code.
constexpr std::uint32_t kErrorServiceSpecific = 1066;

constexpr int kErrorTextBytes = 256;
constexpr int kErrorTextTailChars = 14;  // room kept for " (0x%x)" and the terminator

// The handle that registering the control handler gave; null until then.
extern PlatformStatusHandle* gStatusHandle;
// The error code of the last ReportErrorEvent outside console mode (0 before).
extern std::uint32_t gLastErrorCode;

// Reports a state with its exit code and wait hint. Controls accepted: none while start is
// pending, stop otherwise. The check point rises by one with every pending report across
// the whole process and is 0 for running and stopped. True on success, and always (with
// nothing handed over) in console mode. Safe to call from two threads.
bool ReportStatusToSCMgr(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint);

// A copy of the status record as last reported (the current state for re-reports).
ServiceStatusRecord CurrentServiceStatus();
// What a status record says, in the service-manager port's words.
ServiceReport ReportOf(const ServiceStatusRecord& status);

// Sets the fields that only the service main owns: service type and specific exit code.
void SetServiceStatusIdentity(std::uint32_t serviceType, std::uint32_t specificExitCode);

// Writes an error entry "<service name> error: <code>" plus `text` to the event log, with
// `error` (the platform error of the failure, 0 for none) as the code, kept as gLastErrorCode.
// Nothing in console mode.
void ReportErrorEvent(const char* text, std::uint32_t error);

// Hands an entry to the system's log under the service's name. Nothing in console mode.
void ReportWarningEvent(const WarningEntry& entry);

// The system's text for platform error `code` without its CR LF, then " (0x<code>)" in
// lower-case hexadecimal; the empty string when there is no text or it does not fit in
// size minus 14 characters. Returns `buffer`.
char* FormatError(std::uint32_t code, char* buffer, std::size_t size);
