// The controller's run: work out the instance, load the configuration, build the stop and
// pipe events and the heartbeat pipe, start the job starter, then supervise (see
// supervisor.h) until told to stop. The job starter is left running when the run ends. What
// -status shows is published in the instance's state file as the run goes. A console run
// also prints why its start-up failed, the INI keys the configuration does not know, and
// whether KILL or the job starter cannot be found.
#pragma once

#include <cstdint>

#include "supervision/supervisor.h"

constexpr std::uint32_t kStartWaitHintMs = 3000;

// How a run ended. Anything but kRunStopped is a failure, never reported as success: the
// service reports it as its service-specific code, a console run exits with it.
constexpr int kRunStopped = 0;      // a stop request ended a run that had started
constexpr int kRunStartFailed = 1;  // a start-up step other than the configuration failed
// ... or the GetIniValues result (10, 11, 12) when the configuration failed.
constexpr int kRunWaitFailed = 20;  // a wait of the supervision failed: ended without a stop
constexpr int kRunNotStarted = 21;  // the first start-pending report failed: no run at all
// ... or kRunFrozen (22, self_watch.h): the loop made no progress for QVLSELFWATCH.

// The run with the configured times; returns how the run ended. Only argv[0] is read: the
// service name (the program's path in console mode).
int RunController(int argc, char** argv);
// The same run with other times (tests); a heartbeat time-out of 0 takes the configured one.
int RunControllerWith(int argc, char** argv, const RunTimes& times);

// Why the last run's start-up failed: its log line (with the configuration's reason in plain
// words) and the platform error captured at the failing step (0 when none). Empty text after
// a run that started.
struct RunFailure {
    char text[512];
    std::uint32_t error;
};
const RunFailure& LastRunFailure();

// Sets the stop event when it exists; otherwise does nothing. Safe from any thread, also
// while the run closes the event: setting and closing are exclusive.
void SignalStop();
