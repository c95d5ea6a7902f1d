// The supervision's loop: one wait per pass on what the phase table names, one event handed
// to the core (supervision_core.h), and its actions carried out in their order. The loop
// decides nothing itself.
#include "supervision/supervisor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "log/log_file.h"
#include "platform/pipe_server.h"
#include "platform/processes.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "service/status_report.h"
#include "supervision/heartbeat_protocol.h"
#include "supervision/self_watch.h"
#include "supervision/supervision_core.h"
#include "supervision/system_log_entries.h"

namespace {

using Clock = std::chrono::steady_clock;

// A process to be ended that cannot be watched (no rights to) is looked at this often.
constexpr std::uint32_t kEndPollMs = 50;

core::Millis Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

std::uint32_t MsUntil(core::Millis deadline, core::Millis now) {
    if (deadline <= now) return 0;
    const core::Millis ms = deadline - now;
    return ms >= static_cast<core::Millis>(kWaitForever) ? kWaitForever - 1
                                                         : static_cast<std::uint32_t>(ms);
}

std::int64_t WallClockIn(core::Millis ms) {
    return static_cast<std::int64_t>(std::time(nullptr)) + (ms + 999) / 1000;
}

// What the loop holds and carries the core's actions out on.
struct Carrier {
    Carrier(PlatformEvent* s, PlatformPipe* p, const RunTimes& t, const core::State& c,
            RunContext* r)
        : stop(s),
          pipe(p),
          times(t),
          state(c),
          run(*r),
          control(r->jobStarter),
          published(r->publication.state) {}
    PlatformEvent* stop;
    PlatformPipe* pipe;
    const RunTimes& times;
    const core::State& state;
    RunContext& run;
    JobStarterControl& control;
    RunState& published;
    RestartPass pass;
    // The job starter a restart replaces, for its report: its id and exit code (-1: none).
    std::uint32_t replacedPid = 0;
    std::int64_t replacedExitCode = -1;
    std::string hangReport;          // of the restart under way, "" when none
    std::uint32_t shownChanges = 0;  // of the core's shown restart, turned into wall time
    char request[kRequestBytes] = {};
    std::size_t requestBytes = 0;  // what the last read that was over received
    char reply[kReplyRoomBytes] = {};
};

void LogJobStarterExit(Carrier& c) {
    JobStarterRecord& js = c.control.current;
    bool known = false;
    std::uint32_t code = 0;
    PlatformWatchedEnded(js.watch, &known, &code);
    ForgetJobStarterWatch(&c.control);
    if (known) {
        WriteLogFormatted("Prozess %s  PID(%ld) beendet, Exitcode %lu. \n", js.commandLine,
                          static_cast<long>(js.pid), static_cast<unsigned long>(code));
    } else {
        // Linux gives the code of the controller's own children alone (not of one taken over).
        WriteLogFormatted("Prozess %s  PID(%ld) beendet, Exitcode unbekannt. \n", js.commandLine,
                          static_cast<long>(js.pid));
    }
    c.published.jobStarterExited = std::time(nullptr);
    c.published.jobStarterExitCode = known ? static_cast<std::int64_t>(code) : -1;
}

void CountRestart(Carrier& c, core::Cause cause) {
    const std::uint32_t heartbeatTimeoutMs = c.times.heartbeatTimeoutMs;
    RunState& st = c.published;
    c.replacedPid = c.control.current.pid;
    c.replacedExitCode = st.jobStarterExited != 0 ? st.jobStarterExitCode : -1;
    c.hangReport.clear();
    st.restarts += 1;
    st.restartsSinceHeartbeat += 1;
    st.lastRestart = std::time(nullptr);
    if (cause == core::Cause::kSilence) {
        st.restartsSilence += 1;
        st.lastRestartCause = "no heartbeat for " + std::to_string(heartbeatTimeoutMs) + " ms";
    } else if (cause == core::Cause::kExit) {
        st.restartsExit += 1;
        st.lastRestartCause = "the job starter exited";
    } else {
        st.restartsStartFailed += 1;
        st.lastRestartCause = "the job starter could not be started";
    }
    st.jobStarterStarted = 0;  // being restarted
}

// The state file's view of the next restart, as the core shows it, and of what the loop is
// doing.
void PublishState(Carrier& c, core::Millis now) {
    c.published.phase = core::RowOf(c.state.phase).name;
    if (c.shownChanges != c.state.shownChanges) {
        c.shownChanges = c.state.shownChanges;
        c.published.restartDue = c.state.shownDue == 0 ? 0 : WallClockIn(c.state.shownDue - now);
        c.published.backoffMs = c.state.shownBackoffMs;
    }
    Publish(&c.run.publication);
}

// Starts the job starter; a restart is also reported to the system's log, with what it
// replaced and why.
bool StartJobStarterNow(Carrier& c, const core::Action& start) {
    const bool started = StartJobStarter(&c.control);
    RunState& st = c.published;
    st.jobStarterStarted = std::time(nullptr);
    st.jobStarterExited = 0;
    st.jobStarterExitCode = -1;
    if (start.flag) {
        const core::Cause cause = start.cause;
        const char* word = cause == core::Cause::kSilence ? kCauseSilence
                           : cause == core::Cause::kExit  ? kCauseExit
                                                          : kCauseStartFailed;
        ReportWarningEvent(RestartEntry(c.control.image, word, st.lastRestartCause, c.replacedPid,
                                        c.replacedExitCode, started ? c.control.current.pid : 0,
                                        c.hangReport));
    }
    return started;
}

// A listen that failed, said once per kind of failure. One for want of descriptors also
// reaches the console and the event log, since such a failure keeps the controller blind
// (the core lets the reserve go for the saying).
void SayListenFailed(Carrier& c, std::uint32_t error, bool starved) {
    char text[kErrorTextBytes];
    FormatError(error, text, sizeof text);
    WriteLogFormatted("Verbindung konnte nicht angenommen werden. Fehler: %s!\n", text);
    if (starved) {
        const std::string line = std::string("No descriptor is left for a client: ") + text +
                                 ". Restarts go on with descriptors held back for them.";
        if (c.run.publication.tell) c.run.publication.tell(line);
        ReportErrorEvent(line.c_str(), error);
    }
}

// The core's event for a pipe operation that is over. A client that came counts as a
// heartbeat when it is the job starter's: of its account.
void PipeOver(Carrier& c, const PipeOutcome& outcome, core::Event* event) {
    *event = {core::EventKind::kPipeOver};
    event->ok = outcome.state == PipeStart::kOver;
    event->error = outcome.error;
    event->starved = !event->ok && PlatformOutOfDescriptors(outcome.error);
    event->counts = event->ok && CountsAsHeartbeat(outcome.client, c.control.account);
    c.requestBytes = outcome.bytes;
}

// The result of a pipe operation that started: none while it is pending.
bool PipeResult(Carrier& c, const PipeOutcome& outcome, core::Event* event) {
    if (outcome.state == PipeStart::kPending) return false;
    PipeOver(c, outcome, event);
    return true;
}

void Reply(Carrier& c) {
    // The request text: the bytes of this message up to the first zero, at most 80.
    const std::size_t textLength = strnlen(c.request, c.requestBytes);
    std::memset(c.reply, 0, sizeof c.reply);
    std::snprintf(c.reply, sizeof c.reply, kReplyFormat, static_cast<int>(textLength), c.request);
}

// The pipe's actions: the cycle of one client. True with `event` set when the operation's
// result came at once.
bool CarryPipe(Carrier& c, const core::Action& a, core::Event* event) {
    using core::ActionKind;
    switch (a.kind) {
        case ActionKind::kListen:
            return PipeResult(c, PlatformPipeAwaitClient(c.pipe), event);
        case ActionKind::kRead:
            return PipeResult(c, PlatformPipeReadRequest(c.pipe, c.request, sizeof c.request),
                              event);
        case ActionKind::kReply:
            Reply(c);
            return PipeResult(c, PlatformPipeSendReply(c.pipe, c.reply, kReplyBytes), event);
        case ActionKind::kDisconnect:
            PlatformPipeDisconnect(c.pipe);
            return false;
        case ActionKind::kCancel:
            PlatformPipeCancel(c.pipe);
            return false;
        default:  // kSilentExchange
            // The cycle goes on as if a client had come: read, reply and disconnect, whose
            // failures are not examined.
            if (PlatformPipeReadRequest(c.pipe, c.request, sizeof c.request).state ==
                PipeStart::kPending)
                PlatformPipeCancel(c.pipe);
            if (PlatformPipeSendReply(c.pipe, c.reply, kReplyBytes).state == PipeStart::kPending)
                PlatformPipeCancel(c.pipe);
            return false;
    }
}

// The lines the log gets of the cycle and the job starter.
void CarrySaying(Carrier& c, const core::Action& a) {
    using core::ActionKind;
    switch (a.kind) {
        case ActionKind::kDropSilent:
            WriteLog("Verbindung ohne Nachricht getrennt\n");
            return;
        case ActionKind::kDropUnanswered:
            WriteLog("Verbindung ohne Antwort getrennt\n");
            return;
        case ActionKind::kSayListenFailed:
            SayListenFailed(c, a.error, a.flag);
            return;
        case ActionKind::kSaySilence:
            WriteLogFormatted("Prozess %s antwortet nicht\n", c.control.image.c_str());
            return;
        default:  // kRecordExit
            LogJobStarterExit(c);
            return;
    }
}

// A restart's pass: what it ends, its KILLs, what follows them, the new job starter. True
// with `event` set when the step's result came at once.
bool CarryPass(Carrier& c, const core::Action& a, core::Event* event) {
    using core::ActionKind;
    PlatformProcessWatch* watch = nullptr;
    switch (a.kind) {
        case ActionKind::kCountRestart:
            CountRestart(c, a.cause);
            return false;
        case ActionKind::kPlan:
            PlanRestart(&c.control, &c.pass);  // the pass takes over the job starter's watch
            return false;
        case ActionKind::kRunKill:
            *event = {core::EventKind::kKillStarted};
            event->ok = StartNextKill(&c.pass);
            return true;
        case ActionKind::kJudge:
            *event = {core::EventKind::kJudged};
            event->ok = TargetsEnded(&c.pass, &watch);
            event->unendable = !event->ok && SomeTargetUnendable(c.pass);
            event->unwatched = !event->ok && !watch;
            return true;
        case ActionKind::kEndItself:
            EndTargetsItself(&c.pass, a.flag);
            return false;
        case ActionKind::kLookAtOldOnes:
            *event = {core::EventKind::kOldOnesLooked};
            event->ok = TargetsEnded(&c.pass, &watch);
            event->unwatched = !event->ok && !watch;
            return true;
        case ActionKind::kFinishPass:
            FinishRestart(&c.pass, a.flag);
            return false;
        default:  // kStart
            *event = {core::EventKind::kStarted};
            event->ok = StartJobStarterNow(c, a);
            return true;
    }
}

// The capture of a silent job starter where it is stuck. True with `event` set when the
// step's result came at once.
bool CarryCapture(Carrier& c, const core::Action& a, core::Event* event) {
    using core::ActionKind;
    switch (a.kind) {
        case ActionKind::kCapture:
            *event = {core::EventKind::kCaptureStarted};
            event->ok = StartHangReport(&c.run.hangReports, c.control.image,
                                        c.control.current.commandLine, c.control.current.pid);
            return true;
        case ActionKind::kLookAtCapture:
            *event = {core::EventKind::kCaptureLooked};
            event->ok = HangReportFinished(&c.run.hangReports);
            return true;
        default:  // kEndCapture
            c.hangReport = EndHangReport(&c.run.hangReports, a.flag);
            if (!c.hangReport.empty()) {
                c.published.hangReports += 1;
                c.published.lastHangReport = c.hangReport;
            }
            return false;
    }
}

// Carries out one action; true with `event` set when its result came at once.
bool Carry(Carrier& c, const core::Action& a, core::Millis now, core::Event* event) {
    using core::ActionKind;
    switch (a.kind) {
        case ActionKind::kListen:
        case ActionKind::kRead:
        case ActionKind::kReply:
        case ActionKind::kDisconnect:
        case ActionKind::kCancel:
        case ActionKind::kSilentExchange:
            return CarryPipe(c, a, event);
        case ActionKind::kDropSilent:
        case ActionKind::kDropUnanswered:
        case ActionKind::kSayListenFailed:
        case ActionKind::kSaySilence:
        case ActionKind::kRecordExit:
            CarrySaying(c, a);
            return false;
        case ActionKind::kCountRestart:
        case ActionKind::kPlan:
        case ActionKind::kRunKill:
        case ActionKind::kJudge:
        case ActionKind::kEndItself:
        case ActionKind::kLookAtOldOnes:
        case ActionKind::kFinishPass:
        case ActionKind::kStart:
            return CarryPass(c, a, event);
        case ActionKind::kCapture:
        case ActionKind::kLookAtCapture:
        case ActionKind::kEndCapture:
            return CarryCapture(c, a, event);
        case ActionKind::kHeartbeat:
            c.published.lastHeartbeat = std::time(nullptr);
            c.published.phase = core::RowOf(c.state.phase).name;
            c.published.restartsSinceHeartbeat = 0;
            PublishHeartbeat(&c.run.publication, a.flag);
            return false;
        case ActionKind::kPublish:
            PublishState(c, now);
            RotateJobOutput(&c.control);
            return false;
        case ActionKind::kEnd:
            ForgetJobStarterWatch(&c.control);
            return false;
        case ActionKind::kHoldReserve:
            PlatformHoldReserve();
            return false;
        case ActionKind::kReleaseReserve:
            PlatformReleaseReserve();
            return false;
    }
    return false;
}

// Carries out a step's actions in order; true with `event` set when the last one's result
// came at once (only the last action of a step can have one).
bool CarryAll(Carrier& c, const core::Actions& actions, core::Millis now, core::Event* event) {
    bool immediate = false;
    for (const core::Action& action : actions.list)
        immediate = Carry(c, action, now, event);
    return immediate;
}

// The watch the wait looks at in the current phase. False when what it would watch has ended
// already (the old job starters, before the wait began): then there is nothing to wait for.
bool WatchOf(Carrier& c, PlatformProcessWatch** watch) {
    *watch = nullptr;
    switch (core::RowOf(c.state.phase).process) {
        case core::Watched::kJobStarter:
            *watch = c.control.current.watch;
            return true;
        case core::Watched::kOldJobStarters:
            return !TargetsEnded(&c.pass, watch);
        case core::Watched::kNothing:
            break;
    }
    return true;
}

// What one wait saw, as the core's event; false when the wait itself failed. The self-watch
// learns how long the loop may wait.
bool WaitForEvent(Carrier& c, const core::Times& t, SelfWatch* self, core::Event* event) {
    const core::PhaseRow& row = core::RowOf(c.state.phase);
    PlatformProcessWatch* watch = nullptr;
    *event = {core::EventKind::kProcessEnded};
    if (!WatchOf(c, &watch)) return true;  // they ended before the wait: seen at once
    const std::uint32_t waitMs = MsUntil(core::DeadlineOf(c.state, t), Now());
    SelfWatchMark(self, waitMs, row.name);
    const WaitResult w = PlatformWait(c.stop, row.pipe ? c.pipe : nullptr, watch, waitMs);
    *event = {core::EventKind::kDeadline};
    switch (w) {
        case WaitResult::kStop:
        case WaitResult::kFailed:
            event->kind = core::EventKind::kStop;
            return w == WaitResult::kStop;
        case WaitResult::kPipe:
            PipeOver(c, PlatformPipeOutcome(c.pipe), event);
            return true;
        case WaitResult::kProcess:
            event->kind = core::EventKind::kProcessEnded;
            return true;
        case WaitResult::kTimeout:
            return true;
    }
    return true;
}

core::Times CoreTimes(const RunTimes& t, const RunContext& run) {
    std::uint32_t refreshMs = t.refreshMs;
    const std::uint32_t watchdogMs = PlatformServiceWatchdogMs();
    if (watchdogMs != 0) refreshMs = std::min(refreshMs, std::max(watchdogMs / 2, 1u));
    return {t.heartbeatTimeoutMs,
            t.clientLimitMs,
            t.otherClientLimitMs,
            kListenRetryMs,
            t.killPauseMs,
            t.endWaitMs,
            kForcedEndWaitMs,
            kEndPollMs,
            t.firstBackoffMs,
            t.maxBackoffMs,
            t.backoffResetMs,
            refreshMs,
            run.hangReports.dir.empty() ? 0 : t.captureLimitMs,
            kHangCapturePollMs};
}

}  // namespace

bool Supervise(PlatformEvent* stop, PlatformPipe* pipe, const RunTimes& times, RunContext* run) {
    const core::Times t = CoreTimes(times, *run);
    const bool restartOnExit = run->restartOnExit;
    core::State state;
    Carrier c(stop, pipe, times, state, run);
    SelfWatch* self =
        StartSelfWatch(times.selfWatchMs, run->hangReports.dir, run->hangReports.instanceText);
    core::Actions actions = core::Begin(&state, t, restartOnExit, Now(), run->takenOver);
    bool stopped = true;
    for (;;) {
        core::Event event{core::EventKind::kDeadline};
        SelfWatchMark(self, 0, core::RowOf(state.phase).name);  // busy from here
        const bool immediate = CarryAll(c, actions, Now(), &event);
        if (state.phase == core::Phase::kOver) break;
        if (immediate) {
            // Between an action and the next the stop is looked at: nothing that completes
            // at once can keep the loop from hearing it.
            if (PlatformEventIsSet(stop)) {
                event = {core::EventKind::kStop};
            }
        } else if (!WaitForEvent(c, t, self, &event)) {
            stopped = false;
        }
        actions = core::Step(&state, t, restartOnExit, event, Now());
    }
    StopSelfWatch(self);
    return stopped;
}
