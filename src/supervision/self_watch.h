// A watch on the supervision's loop from a thread of its own, where no service manager
// watches the controller (Windows, a container's entry point) and beside systemd's watchdog:
// a loop that has made no progress for the limit (stuck in a call, stopped) is said in the
// log and the system's log, where it is stuck is written into QVLDUMPDIR when that is set, and
// the process ends with kRunFrozen, so that the service manager's recovery (or a container
// runtime's restart policy) starts it again; with QVLADOPT=1 the job starter runs on. The loop
// tells the watch what it does before each step and each wait, with how long it may wait: the
// limit counts from that, and never ends a wait that may still go on. The loop's waits end at
// its refresh (10 s), shorter than any limit, so a loop that waits (a KILL pause, the look at a
// capture under way, a quiet pipe) or works is never taken for frozen, and a frozen one is
// found the limit after it last said anything, whatever it was doing.
#pragma once

#include <cstdint>
#include <string>

// The exit status of a controller its own watch ended: a failure, so that it is started again.
constexpr int kRunFrozen = 22;
// How often the watch looks at the loop.
constexpr std::uint32_t kSelfWatchLookMs = 500;

struct SelfWatch;
// Starts watching with a limit of `limitMs` (0: no watch, null). A frozen loop's report goes
// into `dumpDir` ("" for none) as "QVLJOBCTL<instance>_<UTC time>_C<process id>" and the
// platform's report extension.
SelfWatch* StartSelfWatch(std::uint32_t limitMs, const std::string& dumpDir,
                          const std::string& instanceText);
// The loop is about to wait at most `waitMs`, or (0) is busy from now on; `phase` names what it
// does (a name that lives as long as the process).
void SelfWatchMark(SelfWatch* watch, std::uint32_t waitMs, const char* phase);
// Stops the watch (the run's end) and lets go of it; null is ignored.
void StopSelfWatch(SelfWatch* watch);
