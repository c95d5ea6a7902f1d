// Evidence of a hang before the kill: with QVLDUMPDIR set, a job starter that is to be ended
// because it stayed silent (never one that exited) is first captured where it is stuck (see
// hang_capture.h: a minidump on Windows, a report of every thread's frames on Linux), into
// "QVLJOBCTL<instance>_<YYYYMMDD-HHMMSS>_<process id>.dmp" (".txt") in that folder. The
// capture runs beside the supervision's loop, which waits for it in a phase of its own; past
// kHangCaptureLimitMs, or at a stop, it is abandoned and the restart goes on. A capture that
// fails, or a folder another account could write to, is said once per run. The folder keeps
// the instance's newest QVLDUMPKEEP reports within kHangReportsCapBytes, the oldest removed
// first.
#pragma once

#include <cstdint>
#include <string>

#include "platform/hang_capture.h"

// A restart for silence is late by at most this: time for a minidump (about 0.3 s under
// Wine) or a report of a few dozen threads, short against any heartbeat time-out (1 s at the
// least), and a stuck capture never holds the restart longer.
constexpr std::uint32_t kHangCaptureLimitMs = 5000;
// How often the loop looks whether the capture has finished.
constexpr std::uint32_t kHangCapturePollMs = 20;
// The instance's reports together never take more than this; the oldest go first.
constexpr std::uint64_t kHangReportsCapBytes = 1ull << 30;

struct HangReports {
    std::string dir;  // "": no reports are made
    std::uint32_t keep = 5;
    std::string instanceText;
    HangCapture* capture = nullptr;  // the capture under way
    std::string path;                // its report
    std::string image;
    std::uint32_t pid = 0;
    bool failureSaid = false;
};

// A new report's path in folder `dir` for instance `instanceText`: "QVLJOBCTL<instance>_<UTC
// time>_<who>" with the platform's report extension, `who` the process's id ("C" before it
// for the controller's own report).
std::string HangReportPath(const std::string& dir, const std::string& instanceText,
                           const std::string& who);
// Begins a run's reports into folder `dir` ("": none), keeping `keep`.
void BeginHangReports(HangReports* reports, const std::string& dir, std::uint32_t keep,
                      const std::string& instanceText);
// Starts capturing the silent job starter `pid` started as `commandLine`; false when no
// capture could be started (said once).
bool StartHangReport(HangReports* reports, const std::string& image, const std::string& commandLine,
                     std::uint32_t pid);
// True once the capture under way has finished.
bool HangReportFinished(HangReports* reports);
// Ends the capture under way (`abandoned`: past its limit, or for a stop), logs its report
// (or, once per run, why there is none) and keeps the folder bounded. The report's path,
// "" when none was written.
std::string EndHangReport(HangReports* reports, bool abandoned);
