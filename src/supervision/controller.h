// The controller's run: work out the instance, load the configuration, build the stop and
// pipe events and the heartbeat pipe, start the job starter, then serve the pipe (each
// client is one sign of life; a heartbeat time-out without one restarts the job starter)
// until told to stop. The job starter is left running when the run ends. What -status shows
// is published in the instance's state file as the run goes. A console run also prints why
// its start-up failed, and the INI keys the configuration does not know.
#pragma once

#include <cstdint>

#include "supervision/heartbeat_protocol.h"

constexpr std::uint32_t kStartWaitHintMs = 3000;
// A connected client writes its message at once and reads the reply at once; one that has
// done neither after this long is hung (it may be the job starter itself) and is dropped,
// so that it cannot hold the cycle and keep a silent job starter from being restarted.
constexpr std::uint32_t kClientTimeLimitMs = 10000;

// How a run ended. Anything but kRunStopped is a failure, never reported as success: the
// service reports it as its service-specific code, a console run exits with it.
constexpr int kRunStopped = 0;      // a stop request ended a run that had started
constexpr int kRunStartFailed = 1;  // a start-up step other than the configuration failed
// ... or the GetIniValues result (10, 11, 12) when the configuration failed.
constexpr int kRunWaitFailed = 20;  // a wait of the pipe cycle failed: ended without a stop
constexpr int kRunNotStarted = 21;  // the first start-pending report failed: no run at all

// The run with the configured heartbeat time-out; returns how the run ended. Only argv[0] is
// read: the service name (the program's path in console mode).
int RunController(int argc, char** argv);
// The same run with other time-outs (tests); a heartbeat time-out of 0 takes the configured
// one. Returns how the run ended.
int RunControllerFor(int argc, char** argv, std::uint32_t heartbeatTimeoutMs,
                     std::uint32_t clientTimeLimitMs = kClientTimeLimitMs);

// Why the last run's start-up failed: its log line and the platform error captured at the
// failing step (0 when none). Empty text after a run that started.
struct RunFailure {
    char text[128];
    std::uint32_t error;
};
const RunFailure& LastRunFailure();

// Sets the stop event when it exists; otherwise does nothing. Safe from any thread, also
// while the run closes the event: setting and closing are exclusive.
void SignalStop();
