// The supervision of a run: one wait per pass on everything that can happen (the stop, the
// pipe's pending operation, the end of a watched process, a deadline), each outcome handed to
// the supervision core (supervision_core.h), which decides, and its actions carried out. A
// restart is phases, never a sleep, so that a stop is obeyed at once in every one. The job
// starter's exit is seen when it happens: it is logged with its exit code, recorded, and with
// QVLRESTARTONEXIT=1 restarted at once, later ones spaced by a back-off that doubles from
// 2 s up to the smaller of 60 s and the heartbeat time-out, and starts again from nothing
// once a job starter has run for 60 s. A restart for silence never waits for it.
#pragma once

#include <cstdint>

#include "log/log_file.h"
#include "platform/pipe_server.h"
#include "supervision/hang_report.h"
#include "supervision/job_starter.h"
#include "supervision/published_state.h"

// A connected client writes its message at once and reads the reply at once; one that has
// done neither after this long is hung (it may be the job starter itself) and is dropped,
// so that it cannot hold the cycle and keep a silent job starter from being restarted.
constexpr std::uint32_t kClientTimeLimitMs = 10000;
// A client of another account than the job starter's is served like any other but is no
// heartbeat, and has only this long for each of the two: no other account can hold the cycle
// and keep the job starter's heartbeats out: sixteen of them queued at once (the pipe's queue)
// delay one of the job starter's by at most 1.6 s, well within the 5 s a client of the suite
// waits for its reply and a time-out of 6 s beside heartbeats every 2 s (at 0.2 s each, 3.2 s
// left that case too little room on a loaded machine). A client that connects writes at once.
constexpr std::uint32_t kOtherClientTimeLimitMs = 100;
// After a listen failed, the pause before the next: soon enough to serve again, rare enough
// not to spin while the cause (descriptors used up) lasts.
constexpr std::uint32_t kListenRetryMs = 1000;
// The back-off of restarts after exits (see above).
constexpr std::uint32_t kFirstBackoffMs = 2000;
constexpr std::uint32_t kMaxBackoffMs = 60000;
constexpr std::uint32_t kBackoffResetMs = 60000;
// A stop is obeyed within this in every phase: every wait ends on it, and no step between
// two waits blocks longer (a log entry's wait for the rotation lock ends on it too).
constexpr std::uint32_t kStopReactionMs = 1000;
// The wait hint a stopping service reports: the reaction and the end sequence, whose log
// entries may wait for the rotation lock.
constexpr std::uint32_t kStopWaitHintMs = kStopReactionMs + kRotationLockWaitMs;
// The longest a restart can take before its new job starter is started: the KILL pause, the
// wait for the old job starter, and the wait after the controller ended it itself.
constexpr std::uint32_t kLongestRestartMs = kKillPauseMs + kEndWaitMs + kForcedEndWaitMs;

constexpr std::uint32_t kConfiguredSelfWatch = 0xFFFFFFFF;
// The times a run keeps to; tests shorten them.
struct RunTimes {
    std::uint32_t heartbeatTimeoutMs = 0;  // 0: the configured one
    std::uint32_t clientLimitMs = kClientTimeLimitMs;
    std::uint32_t otherClientLimitMs = kOtherClientTimeLimitMs;
    std::uint32_t killPauseMs = kKillPauseMs;
    std::uint32_t endWaitMs = kEndWaitMs;
    std::uint32_t firstBackoffMs = kFirstBackoffMs;
    std::uint32_t maxBackoffMs = kMaxBackoffMs;
    std::uint32_t backoffResetMs = kBackoffResetMs;
    // The state's refresh; a service manager's watchdog that wants to hear more often is
    // told at half its interval.
    std::uint32_t refreshMs = kStateRefreshMs;
    std::uint32_t captureLimitMs = kHangCaptureLimitMs;  // of a hang report, when one is made
    // The watch on the loop (QVLSELFWATCH; 0: none; kConfiguredSelfWatch: the configured).
    std::uint32_t selfWatchMs = kConfiguredSelfWatch;
};

// What a run owns and hands to the units that need it: one record per fact.
struct RunContext {
    JobStarterControl jobStarter;  // the job starter, as the run started it
    Publication publication;       // the run's state as -status and monitoring see it
    bool restartOnExit = false;    // QVLRESTARTONEXIT
    // The job starter was taken over from the previous run (QVLADOPT): the run's first pass
    // starts none, and its heartbeat time-out begins with the run.
    bool takenOver = false;
    HangReports hangReports;  // QVLDUMPDIR: the reports of silent job starters
};

// Starts the job starter (the run's first pass, unless it was taken over) and supervises it
// through `pipe` until the stop event is set (true) or a wait fails (false). The job starter
// is left running.
bool Supervise(PlatformEvent* stop, PlatformPipe* pipe, const RunTimes& times, RunContext* run);
