// The warnings the system's log gets of the supervision, in its own words.
#pragma once

#include <cstdint>
#include <string>

#include "platform/event_log.h"

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
