// The supervision's phases and its one wait (see supervisor.h).
#include "supervision/supervisor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "log/log_file.h"
#include "service/status_report.h"
#include "supervision/heartbeat_protocol.h"
#include "supervision/published_state.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// A process to be ended that cannot be watched (no rights to) is looked at this often.
constexpr std::uint32_t kEndPollMs = 50;

enum class Phase {
    kListening,
    kListenPause,
    kReading,
    kReplying,
    kKilling,
    kKillPause,
    kAwaitingEnd,
    kEnding,
    kStarting,
};

// Why a kill-and-start pass runs; the first of a run is no restart.
enum class Cause { kFirstStart, kSilence, kExit, kStartFailed };

struct Supervisor {
    PlatformEvent* stop;
    PlatformPipe* pipe;
    RunTimes times;
    Phase phase = Phase::kKilling;
    Clock::time_point phaseDeadline;  // of a phase with a limit of its own
    Clock::time_point lastSignOfLife;
    PlatformProcessWatch* jobStarter = nullptr;  // the one started, while it runs
    Clock::time_point jobStarterStart;
    bool heartbeatSinceStart = false;
    bool restartDue = false;  // after an exit or a failed start, with QVLRESTARTONEXIT=1
    Clock::time_point restartAt;
    Cause dueCause = Cause::kExit;
    std::uint32_t backoffMs = 0;       // the delay before the next restart after an exit
    Cause cause = Cause::kFirstStart;  // of the pass under way
    RestartPass pass;
    std::vector<std::uint32_t> listenErrorsSaid;
    char request[kRequestBytes];
    char reply[kReplyRoomBytes];
};

Clock::time_point HeartbeatDeadline(const Supervisor& s) {
    return s.lastSignOfLife + Ms(s.times.heartbeatTimeoutMs);
}

// When the current phase ends unless something happens first.
Clock::time_point Deadline(Supervisor& s) {
    Clock::time_point d = s.phaseDeadline;
    switch (s.phase) {
        case Phase::kListening:
            d = HeartbeatDeadline(s);
            break;
        case Phase::kListenPause:
        case Phase::kReading:
        case Phase::kReplying:
            d = std::min(d, HeartbeatDeadline(s));
            break;
        case Phase::kAwaitingEnd:
        case Phase::kEnding: {
            PlatformProcessWatch* watch = nullptr;
            if (!TargetsEnded(&s.pass, &watch) && !watch)
                d = std::min(d, Clock::now() + Ms(kEndPollMs));
            break;
        }
        default:
            break;
    }
    const bool listens = s.phase == Phase::kListening || s.phase == Phase::kListenPause;
    if (listens && s.restartDue) d = std::min(d, s.restartAt);
    return d;
}

std::uint32_t MsUntil(Clock::time_point deadline) {
    const auto now = Clock::now();
    if (deadline <= now) return 0;
    const auto ms = std::chrono::ceil<Ms>(deadline - now).count();
    return ms >= static_cast<long long>(kWaitForever) ? kWaitForever - 1
                                                      : static_cast<std::uint32_t>(ms);
}

PlatformPipe* PipeOf(const Supervisor& s) {
    const bool pending =
        s.phase == Phase::kListening || s.phase == Phase::kReading || s.phase == Phase::kReplying;
    return pending ? s.pipe : nullptr;
}

PlatformProcessWatch* WatchOf(Supervisor& s) {
    switch (s.phase) {
        case Phase::kListening:
        case Phase::kListenPause:
        case Phase::kReading:
        case Phase::kReplying:
            return s.jobStarter;
        case Phase::kAwaitingEnd:
        case Phase::kEnding: {
            PlatformProcessWatch* watch = nullptr;
            TargetsEnded(&s.pass, &watch);
            return watch;
        }
        default:
            return nullptr;
    }
}

std::int64_t WallClockIn(std::uint32_t ms) {
    return static_cast<std::int64_t>(std::time(nullptr)) + (ms + 999) / 1000;
}

void Listen(Supervisor& s);

// ---- Restarts ------------------------------------------------------------------------------

// Schedules a restart after an exit or a failed start, spaced by the back-off.
void ScheduleRestart(Supervisor& s, Cause cause) {
    const auto now = Clock::now();
    if (cause == Cause::kExit && now - s.jobStarterStart >= Ms(s.times.backoffResetMs)) {
        s.backoffMs = 0;  // it ran long enough: a fresh start
    }
    s.restartDue = true;
    s.dueCause = cause;
    s.restartAt = now + Ms(s.backoffMs);
    gRunState.restartDue = WallClockIn(s.backoffMs);
    gRunState.backoffMs = s.backoffMs;
    const std::uint32_t cap = std::min(s.times.maxBackoffMs, s.times.heartbeatTimeoutMs);
    s.backoffMs = s.backoffMs == 0 ? s.times.firstBackoffMs : std::min(2 * s.backoffMs, cap);
    s.backoffMs = std::min(s.backoffMs, cap);
}

// Begins a kill-and-start pass: the job starter this run watches is handed to the pass.
void BeginPass(Supervisor& s, Cause cause) {
    s.cause = cause;
    s.restartDue = false;
    if (cause != Cause::kFirstStart) {
        RunState& st = gRunState;
        st.restarts += 1;
        st.restartsSinceHeartbeat += 1;
        st.lastRestart = std::time(nullptr);
        if (cause == Cause::kSilence) {
            st.restartsSilence += 1;
            st.lastRestartCause =
                "no heartbeat for " + std::to_string(s.times.heartbeatTimeoutMs) + " ms";
        } else if (cause == Cause::kExit) {
            st.restartsExit += 1;
            st.lastRestartCause = "the job starter exited";
        } else {
            st.restartsStartFailed += 1;
            st.lastRestartCause = "the job starter could not be started";
        }
        st.jobStarterStarted = 0;  // being restarted
        st.restartDue = 0;
        Publish();
    }
    PlanRestart(&s.pass, s.jobStarter);
    s.jobStarter = nullptr;
    s.phase = Phase::kKilling;
}

// The controller ends the old job starters itself and waits a little for their end.
void EndItself(Supervisor& s, bool afterWait) {
    EndTargetsItself(&s.pass, afterWait);
    s.phase = Phase::kEnding;
    s.phaseDeadline = Clock::now() + Ms(kForcedEndWaitMs);
}

void Kill(Supervisor& s) {
    if (StartNextKill(&s.pass)) {
        s.phase = Phase::kKillPause;
        s.phaseDeadline = Clock::now() + Ms(s.times.killPauseMs);
        return;
    }
    switch (WhatAfterKills(&s.pass)) {
        case AfterKills::kStart:
            s.phase = Phase::kStarting;
            return;
        case AfterKills::kEndItself:
            EndItself(s, false);
            return;
        case AfterKills::kAwaitEnd:
            s.phase = Phase::kAwaitingEnd;
            s.phaseDeadline = Clock::now() + Ms(s.times.endWaitMs);
            return;
    }
}

void Start(Supervisor& s) {
    FinishRestart(&s.pass, true);
    s.jobStarter = StartJobStarter();
    s.jobStarterStart = Clock::now();
    s.heartbeatSinceStart = false;
    RunState& st = gRunState;
    st.jobStarter = gJobStarter.commandLine;
    st.jobStarterPid = gJobStarter.pid;
    st.jobStarterCreated = gJobStarter.creationTime;
    st.jobStarterStarted = std::time(nullptr);
    st.jobStarterExited = 0;
    st.jobStarterExitCode = -1;
    st.restartDue = 0;
    if (gJobStarter.pid == 0 && gControllerSettings.restartOnExit) {
        ScheduleRestart(s, Cause::kStartFailed);
    }
    Publish();
    if (s.cause == Cause::kSilence) {
        char image[kCommandLineBytes];
        JobStarterImage(image, sizeof image);
        WriteLogFormatted("Prozess %s antwortet nicht\n", image);
        // The cycle goes on as if a client had come: read, reply and disconnect, whose
        // failures are not examined.
        if (PlatformPipeRead(s.pipe, s.request, sizeof s.request) == PipeStart::kPending)
            PlatformPipeCancel(s.pipe);
        if (PlatformPipeWrite(s.pipe, s.reply, kReplyBytes) == PipeStart::kPending)
            PlatformPipeCancel(s.pipe);
    }
    if (s.cause != Cause::kFirstStart) PlatformPipeDisconnect(s.pipe);
    s.lastSignOfLife = Clock::now();  // the new job starter's period begins
    Listen(s);
}

// The watched job starter has ended by itself.
void JobStarterExited(Supervisor& s) {
    bool known = false;
    std::uint32_t code = 0;
    PlatformWatchedEnded(s.jobStarter, &known, &code);
    PlatformCloseWatch(s.jobStarter);
    s.jobStarter = nullptr;
    if (known) {
        WriteLogFormatted("Prozess %s  PID(%ld) beendet, Exitcode %lu. \n", gJobStarter.commandLine,
                          static_cast<long>(gJobStarter.pid), static_cast<unsigned long>(code));
    } else {
        WriteLogFormatted("Prozess %s  PID(%ld) beendet. \n", gJobStarter.commandLine,
                          static_cast<long>(gJobStarter.pid));
    }
    gRunState.jobStarterExited = std::time(nullptr);
    gRunState.jobStarterExitCode = known ? static_cast<std::int64_t>(code) : -1;
    if (gControllerSettings.restartOnExit) {
        ScheduleRestart(s, Cause::kExit);
    } else {
        gRunState.restartDue = WallClockIn(MsUntil(HeartbeatDeadline(s)));
    }
    Publish();
}

// ---- The pipe cycle ------------------------------------------------------------------------

void Served(Supervisor& s) {
    PlatformPipeDisconnect(s.pipe);
    s.lastSignOfLife = Clock::now();
    gRunState.lastHeartbeat = std::time(nullptr);
    gRunState.restartsSinceHeartbeat = 0;
    PublishHeartbeat(!s.heartbeatSinceStart);
    s.heartbeatSinceStart = true;
    Listen(s);
}

void Reply(Supervisor& s) {
    // The request text: the bytes of this message up to the first zero, at most 80.
    const std::size_t got = PlatformPipeBytesRead(s.pipe);
    const std::size_t textLength = strnlen(s.request, got);
    std::memset(s.reply, 0, sizeof s.reply);
    std::snprintf(s.reply, sizeof s.reply, kReplyFormat, static_cast<int>(textLength), s.request);
    if (PlatformPipeWrite(s.pipe, s.reply, kReplyBytes) == PipeStart::kPending) {
        s.phase = Phase::kReplying;
        s.phaseDeadline = Clock::now() + Ms(s.times.clientLimitMs);
        return;
    }
    Served(s);
}

void Read(Supervisor& s) {
    if (PlatformPipeRead(s.pipe, s.request, sizeof s.request) == PipeStart::kPending) {
        s.phase = Phase::kReading;
        s.phaseDeadline = Clock::now() + Ms(s.times.clientLimitMs);
        return;
    }
    Reply(s);
}

// A client that held the cycle past its limit: dropped, and no sign of life.
void Drop(Supervisor& s, const char* line) {
    PlatformPipeCancel(s.pipe);
    PlatformPipeDisconnect(s.pipe);
    WriteLog(line);
    Listen(s);
}

// A listen that failed is no client: said once per kind of failure, then tried again after
// a pause instead of at once (the cause, descriptors used up, usually lasts a while).
void ListenFailed(Supervisor& s) {
    const std::uint32_t error = PlatformLastError();
    if (std::find(s.listenErrorsSaid.begin(), s.listenErrorsSaid.end(), error) ==
        s.listenErrorsSaid.end()) {
        s.listenErrorsSaid.push_back(error);
        char text[kErrorTextBytes];
        PlatformSetLastError(error);
        FormatLastError(text, sizeof text);
        WriteLogFormatted("Verbindung konnte nicht angenommen werden. Fehler: %s!\n", text);
    }
    PlatformPipeDisconnect(s.pipe);
    s.phase = Phase::kListenPause;
    s.phaseDeadline = Clock::now() + Ms(kListenRetryMs);
}

void Listen(Supervisor& s) {
    switch (PlatformPipeListen(s.pipe)) {
        case PipeStart::kOver:
            Read(s);
            return;
        case PipeStart::kPending:
            s.phase = Phase::kListening;
            return;
        case PipeStart::kFailed:
            ListenFailed(s);
            return;
    }
}

// ---- Events --------------------------------------------------------------------------------

void PipeCompleted(Supervisor& s) {
    switch (s.phase) {
        case Phase::kListening:
            if (PlatformPipeListenSucceeded(s.pipe)) {
                Read(s);
            } else {
                ListenFailed(s);
            }
            return;
        case Phase::kReading:
            Reply(s);
            return;
        case Phase::kReplying:
            Served(s);
            return;
        default:
            return;
    }
}

void ProcessEnded(Supervisor& s) {
    if (s.phase == Phase::kAwaitingEnd || s.phase == Phase::kEnding) {
        if (TargetsEnded(&s.pass)) s.phase = Phase::kStarting;
        return;
    }
    if (s.jobStarter) JobStarterExited(s);
}

void DeadlinePassed(Supervisor& s) {
    const auto now = Clock::now();
    const bool silent = now >= HeartbeatDeadline(s);
    const bool due = s.restartDue && now >= s.restartAt;
    switch (s.phase) {
        case Phase::kListening:
            if (silent || due) {
                PlatformPipeCancel(s.pipe);  // before its record is reused
                BeginPass(s, silent ? Cause::kSilence : s.dueCause);
            }
            return;
        case Phase::kListenPause:
            if (silent || due) {
                BeginPass(s, silent ? Cause::kSilence : s.dueCause);
            } else if (now >= s.phaseDeadline) {
                Listen(s);
            }
            return;
        case Phase::kReading:
        case Phase::kReplying:
            if (silent || now >= s.phaseDeadline) {
                Drop(s, s.phase == Phase::kReading ? "Verbindung ohne Nachricht getrennt\n"
                                                   : "Verbindung ohne Antwort getrennt\n");
            }
            return;
        case Phase::kKillPause:
            if (now >= s.phaseDeadline) s.phase = Phase::kKilling;
            return;
        case Phase::kAwaitingEnd:
            if (TargetsEnded(&s.pass)) {
                s.phase = Phase::kStarting;
            } else if (now >= s.phaseDeadline) {
                EndItself(s, true);
            }
            return;
        case Phase::kEnding:
            if (TargetsEnded(&s.pass) || now >= s.phaseDeadline) s.phase = Phase::kStarting;
            return;
        default:
            return;
    }
}

}  // namespace

bool Supervise(PlatformEvent* stop, PlatformPipe* pipe, const RunTimes& times) {
    Supervisor s;
    s.stop = stop;
    s.pipe = pipe;
    s.times = times;
    s.lastSignOfLife = s.jobStarterStart = Clock::now();
    BeginPass(s, Cause::kFirstStart);
    bool stopped = true;
    for (;;) {
        if (s.phase == Phase::kKilling) {
            Kill(s);
            continue;
        }
        if (s.phase == Phase::kStarting) {
            Start(s);
            continue;
        }
        const WaitResult w = PlatformWait(s.stop, PipeOf(s), WatchOf(s), MsUntil(Deadline(s)));
        if (w == WaitResult::kStop || w == WaitResult::kFailed) {
            stopped = w == WaitResult::kStop;
            break;
        }
        if (w == WaitResult::kPipe) PipeCompleted(s);
        if (w == WaitResult::kProcess) ProcessEnded(s);
        if (w == WaitResult::kTimeout) DeadlinePassed(s);
    }
    FinishRestart(&s.pass, false);
    PlatformCloseWatch(s.jobStarter);
    return stopped;
}
