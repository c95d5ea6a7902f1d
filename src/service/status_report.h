// Speaking to the platform about the service: its state for the service manager, error
// entries for the event log, and the text of the last system error. In console mode the
// first two do nothing, so the controller runs unchanged outside the service manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/event_log.h"
#include "platform/service_manager.h"

constexpr int kErrorTextBytes = 256;
constexpr int kErrorTextTailChars = 14;  // room kept for " (0x%x)" and the terminator

// The handle that registering the control handler gave; null until then.
extern PlatformStatusHandle* gStatusHandle;
// The error code captured by the last ReportErrorEvent outside console mode (0 before).
extern std::uint32_t gLastErrorCode;

// Reports a state with its exit code and wait hint. Controls accepted: none while start is
// pending, stop otherwise. The check point rises by one with every pending report across
// the whole process and is 0 for running and stopped. True on success, and always (with
// nothing handed over) in console mode. Safe to call from two threads.
bool ReportStatusToSCMgr(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint);

// A copy of the status record as last reported (the current state for re-reports).
ServiceStatusRecord CurrentServiceStatus();

// Sets the fields that only the service main owns: service type and specific exit code.
void SetServiceStatusIdentity(std::uint32_t serviceType, std::uint32_t specificExitCode);

// Writes an error entry "<service name> error: <code>" plus `text` to the event log, after
// capturing the thread's last error code as gLastErrorCode. Nothing in console mode.
void ReportErrorEvent(const char* text);

// The warnings the system's log gets of the supervision, in plain English: each restart of the
// job starter, each KILL that could not be run, each end of a job starter by the controller's
// own hand (or its failure), a job starter taken over, a previous run that ended unstopped. Built
// here once for both systems: the text, the message table's event id and insertion strings
// (Windows), the journal's MESSAGE_ID and fields (Linux: QVL_SERVICE, QVL_INSTANCE and those of the
// kind). A pid of 0 or an exit code below 0 is not known. A restart's entry names the hang report
// written before it (`hangReport`, "" for none) in its cause and as QVL_HANG_REPORT.
WarningEntry RestartEntry(const std::string& image, const std::string& cause,
                          const std::string& causeText, std::uint32_t oldPid, std::int64_t exitCode,
                          std::uint32_t newPid, const std::string& hangReport = "");
WarningEntry KillFailedEntry(const std::string& command, const std::string& error);
WarningEntry ForcedEndEntry(const std::string& image, std::uint32_t pid, const std::string& why,
                            const std::string& outcome);
// A job starter taken over from the previous run (its command line and process id), and a
// start after a previous run that ended without a stop (its process, when it last wrote its
// state, and what it was doing then).
WarningEntry TakenOverEntry(const std::string& commandLine, std::uint32_t pid);
WarningEntry UncleanEndEntry(std::uint32_t pid, const std::string& lastWrite,
                             const std::string& doing);
// Hands an entry to the system's log under the service's name. Nothing in console mode.
void ReportWarningEvent(const WarningEntry& entry);

// The system's text for the thread's last error without its CR LF, then " (0x<code>)" in
// lower-case hexadecimal; the empty string when there is no text or it does not fit in
// size minus 14 characters. Returns `buffer`.
char* FormatLastError(char* buffer, std::size_t size);
