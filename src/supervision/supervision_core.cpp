// The supervision's decisions (see supervision_core.h).
#include "supervision/supervision_core.h"

#include <algorithm>
#include <limits>

namespace core {

namespace {

// The phase table: what the loop's wait watches in each phase.
const PhaseRow kPhases[kPhaseCount] = {
    {Phase::kListening, "listening", true, Watched::kJobStarter},
    {Phase::kListenPause, "listen pause", false, Watched::kJobStarter},
    {Phase::kReading, "reading", true, Watched::kJobStarter},
    {Phase::kReplying, "replying", true, Watched::kJobStarter},
    {Phase::kCapturing, "capturing", false, Watched::kNothing},
    {Phase::kKilling, "killing", false, Watched::kNothing},
    {Phase::kKillPause, "kill pause", false, Watched::kNothing},
    {Phase::kJudging, "judging", false, Watched::kNothing},
    {Phase::kAwaitingEnd, "awaiting end", false, Watched::kOldJobStarters},
    {Phase::kEnding, "ending", false, Watched::kOldJobStarters},
    {Phase::kStarting, "starting", false, Watched::kNothing},
    {Phase::kOver, "over", false, Watched::kNothing},
};

// One step's work: the state, its settings, the time and the actions being gathered.
struct Stepper {
    State& s;
    const Times& t;
    bool restartOnExit;
    Millis now;
    Actions out;

    void Do(ActionKind kind, bool flag = false) {
        if (kind == ActionKind::kPublish) s.refreshAt = now + t.refreshMs;
        Action a{kind};
        a.flag = flag;
        out.Add(a);
    }
    void DoFor(ActionKind kind, Cause cause) {
        Action a{kind};
        a.cause = cause;
        out.Add(a);
    }

    // The one place that enters a phase, with the limit of its own where it has one.
    void Enter(Phase phase, std::uint32_t limitMs = 0) {
        s.phase = phase;
        s.phaseDeadline = now + limitMs;
    }

    void Show(Millis due) {
        s.shownDue = due;
        ++s.shownChanges;
    }

    // The heartbeat deadline has passed. A job starter that has exited and is to be
    // restarted after its back-off is waited for by that alone: it cannot heartbeat.
    bool Silent() const {
        return s.jobStarter != JobStarterPhase::kAwaitingRestart && now >= HeartbeatDeadline(s, t);
    }
    bool Due() const { return RestartWanted(s) && now >= s.wanted.at; }

    // A restart after an exit or a failed start, spaced by the back-off.
    void Schedule(Cause cause) {
        if (cause == Cause::kExit && now - s.jobStarterStart >= Millis{t.backoffResetMs}) {
            s.backoffMs = 0;  // it ran long enough: a fresh start
        }
        s.wanted = {now + s.backoffMs, cause};
        s.jobStarter = cause == Cause::kExit ? JobStarterPhase::kAwaitingRestart
                                             : JobStarterPhase::kStartFailed;
        s.shownBackoffMs = s.backoffMs;
        Show(s.wanted.at);
        const std::uint32_t cap = std::min(t.maxBackoffMs, t.heartbeatTimeoutMs);
        s.backoffMs = s.backoffMs == 0 ? t.firstBackoffMs : std::min(2 * s.backoffMs, cap);
        s.backoffMs = std::min(s.backoffMs, cap);
    }

    // A kill-and-start pass: the restart is no longer wanted once it is under way.
    void BeginPass(Cause cause) {
        s.cause = cause;
        s.atHeartbeatDeadline = cause != Cause::kFirstStart && Silent();
        // The restart is no longer wanted; a job starter that exited stays exited until the
        // new one starts.
        if (s.jobStarter == JobStarterPhase::kAwaitingRestart) {
            s.jobStarter = JobStarterPhase::kExited;
        } else if (s.jobStarter == JobStarterPhase::kStartFailed) {
            s.jobStarter = JobStarterPhase::kRunning;
        }
        if (cause != Cause::kFirstStart) {
            Show(0);
            DoFor(ActionKind::kCountRestart, cause);
            Do(ActionKind::kPublish);
        }
        // A job starter ended for its silence is first captured where it is stuck.
        if (cause == Cause::kSilence && t.captureMs != 0) {
            Do(ActionKind::kCapture);
            Enter(Phase::kCapturing, t.captureMs);
            s.lookedAt = now;
            return;
        }
        Kill();
    }

    void Kill() {
        // The restart must run even when the process has no descriptor left.
        Do(ActionKind::kReleaseReserve);
        Do(ActionKind::kPlan);
        Do(ActionKind::kRunKill);
        Enter(Phase::kKilling);
    }

    void EndCapture(bool abandoned) {
        Do(ActionKind::kEndCapture, abandoned);
        Kill();
    }

    // What a restart that is due now is for: the wanted restart's cause, or silence, which
    // for a job starter that has exited is its exit all the same.
    Cause DueCause() const {
        if (!Silent()) return s.wanted.cause;
        return s.jobStarter == JobStarterPhase::kExited ? Cause::kExit : Cause::kSilence;
    }

    // Listening again, unless a restart is due first: between two clients the deadlines
    // are looked at, so that a stream of clients can never hold a restart back.
    void Listen() {
        if (Silent() || Due()) {
            BeginPass(DueCause());
            return;
        }
        // Held again only now, once a restart's last lines (the silence's among them) are
        // written.
        Do(ActionKind::kHoldReserve);
        Do(ActionKind::kListen);
        Enter(Phase::kListening);
    }

    // A client served: a sign of life only from the job starter's account, so that no other
    // account can keep a hung job starter from its restart.
    void Served() {
        Do(ActionKind::kDisconnect);
        if (s.clientCounts) {
            Do(ActionKind::kHeartbeat, !s.heartbeatSinceStart);
            s.heartbeatSinceStart = true;
            s.lastSignOfLife = now;
        }
        Listen();
    }

    std::uint32_t ClientLimit() const {
        return s.clientCounts ? t.clientLimitMs : t.otherClientLimitMs;
    }

    // A client that held the cycle past its limit: dropped, and no sign of life.
    void Drop(ActionKind line) {
        Do(ActionKind::kCancel);
        Do(ActionKind::kDisconnect);
        Do(line);
        Listen();
    }

    // A listen that failed is no client: said once per kind of failure, then tried again
    // after a pause (the cause, descriptors used up, usually lasts a while).
    void ListenFailed(std::uint32_t error, bool starved) {
        const std::uint32_t* said = s.listenErrors;
        const std::uint32_t* end = said + s.listenErrorCount;
        if (std::find(said, end, error) == end && s.listenErrorCount < kListenErrorsSaid) {
            s.listenErrors[s.listenErrorCount++] = error;
            // With no descriptor left the log cannot be opened to say it: the reserve is let
            // go meanwhile.
            if (starved) Do(ActionKind::kReleaseReserve);
            Action say{ActionKind::kSayListenFailed};
            say.error = error;
            say.flag = starved;
            out.Add(say);
            if (starved) Do(ActionKind::kHoldReserve);
        }
        Do(ActionKind::kDisconnect);
        Enter(Phase::kListenPause, t.listenRetryMs);
    }

    void JobStarterExited() {
        Do(ActionKind::kRecordExit);
        s.jobStarter = JobStarterPhase::kExited;
        if (restartOnExit) {
            Schedule(Cause::kExit);
        } else {
            Show(std::max(HeartbeatDeadline(s, t), now));
        }
        Do(ActionKind::kPublish);
    }

    void Start() {
        Do(ActionKind::kFinishPass, true);
        Action start{ActionKind::kStart};
        start.cause = s.cause;
        start.flag = s.cause != Cause::kFirstStart;  // every restart is reported
        out.Add(start);
        Enter(Phase::kStarting);
    }

    void Started(bool ok) {
        s.jobStarterStart = now;
        s.heartbeatSinceStart = false;
        s.jobStarter = JobStarterPhase::kRunning;
        Show(0);
        if (!ok && restartOnExit) Schedule(Cause::kStartFailed);
        Do(ActionKind::kPublish);
        if (s.atHeartbeatDeadline) {
            Do(ActionKind::kSaySilence);
            Do(ActionKind::kSilentExchange);
        }
        if (s.cause != Cause::kFirstStart) Do(ActionKind::kDisconnect);
        s.lastSignOfLife = now;  // the new job starter's period begins
        Listen();
    }

    void EndItself(bool afterWait) {
        Do(ActionKind::kEndItself, afterWait);
        Enter(Phase::kEnding, t.forcedEndWaitMs);
    }

    // What follows the KILLs: the start once every old one has ended; the controller's own
    // end of them at once where one runs that no KILL of the pass ends; else the wait for
    // their end.
    void Judged(bool allEnded, bool unendable, bool unwatched) {
        s.oldOnesUnwatched = unwatched;
        s.lookedAt = now;
        if (allEnded) {
            Start();
        } else if (unendable) {
            EndItself(false);
        } else {
            Enter(Phase::kAwaitingEnd, t.endWaitMs);
        }
    }

    void OldOnesLooked(bool allEnded, bool unwatched) {
        s.oldOnesUnwatched = unwatched;
        s.lookedAt = now;
        if (allEnded) {
            Start();
        } else if (now >= s.phaseDeadline) {
            if (s.phase == Phase::kAwaitingEnd) {
                EndItself(true);
            } else {
                Start();
            }
        }
    }

    void Stop() {
        if (s.phase == Phase::kCapturing) Do(ActionKind::kEndCapture, true);
        Do(ActionKind::kFinishPass, false);
        Do(ActionKind::kEnd);
        Do(ActionKind::kReleaseReserve);
        Enter(Phase::kOver);
    }

    bool WatchesJobStarter() const { return RowOf(s.phase).process == Watched::kJobStarter; }

    void PipeOver(const Event& e) {
        switch (s.phase) {
            case Phase::kListening:
                if (!e.ok) {
                    ListenFailed(e.error, e.starved);
                    return;
                }
                s.clientCounts = e.counts;
                Do(ActionKind::kRead);
                Enter(Phase::kReading, ClientLimit());
                return;
            case Phase::kReading:
                Do(ActionKind::kReply);
                Enter(Phase::kReplying, ClientLimit());
                return;
            case Phase::kReplying:
                Served();
                return;
            default:
                return;
        }
    }

    void DeadlinePassed() {
        switch (s.phase) {
            case Phase::kListening:
                if (Silent() || Due()) {
                    Do(ActionKind::kCancel);  // before its record is reused
                    BeginPass(DueCause());
                }
                return;
            case Phase::kListenPause:
                if (Silent() || Due()) {
                    BeginPass(DueCause());
                } else if (now >= s.phaseDeadline) {
                    Listen();
                }
                return;
            case Phase::kReading:
            case Phase::kReplying:
                if (Silent() || now >= s.phaseDeadline) {
                    Drop(s.phase == Phase::kReading ? ActionKind::kDropSilent
                                                    : ActionKind::kDropUnanswered);
                }
                return;
            case Phase::kCapturing:
                if (now >= s.phaseDeadline) {
                    EndCapture(true);
                } else {
                    Do(ActionKind::kLookAtCapture);
                }
                return;
            case Phase::kKillPause:
                if (now >= s.phaseDeadline) {
                    Do(ActionKind::kRunKill);
                    Enter(Phase::kKilling);
                }
                return;
            case Phase::kAwaitingEnd:
            case Phase::kEnding:
                Do(ActionKind::kLookAtOldOnes);
                return;
            default:
                return;
        }
    }

    // The state is written once per refresh interval while nothing else writes it: first in
    // the step, since only a step's last action may have a result that comes back at once.
    void Refresh(const Event& e) {
        if (t.refreshMs != 0 && e.kind != EventKind::kStop && now >= s.refreshAt) {
            Do(ActionKind::kPublish);
        }
    }

    void Handle(const Event& e) {
        if (s.phase == Phase::kOver) return;
        Refresh(e);
        switch (e.kind) {
            case EventKind::kBegin:
                return;
            case EventKind::kStop:
                Stop();
                return;
            case EventKind::kDeadline:
                DeadlinePassed();
                return;
            case EventKind::kPipeOver:
                PipeOver(e);
                return;
            case EventKind::kProcessEnded:
                if (WatchesJobStarter()) {
                    JobStarterExited();
                } else if (RowOf(s.phase).process == Watched::kOldJobStarters) {
                    Do(ActionKind::kLookAtOldOnes);
                }
                return;
            case EventKind::kKillStarted:
                if (s.phase != Phase::kKilling) return;
                if (e.ok) {
                    Enter(Phase::kKillPause, t.killPauseMs);
                } else {
                    Do(ActionKind::kJudge);
                    Enter(Phase::kJudging);
                }
                return;
            case EventKind::kJudged:
                if (s.phase == Phase::kJudging) Judged(e.ok, e.unendable, e.unwatched);
                return;
            case EventKind::kOldOnesLooked:
                if (RowOf(s.phase).process == Watched::kOldJobStarters) {
                    OldOnesLooked(e.ok, e.unwatched);
                }
                return;
            case EventKind::kStarted:
                if (s.phase == Phase::kStarting) Started(e.ok);
                return;
            case EventKind::kCaptureStarted:
                if (s.phase == Phase::kCapturing && !e.ok) Kill();
                return;
            case EventKind::kCaptureLooked:
                if (s.phase != Phase::kCapturing) return;
                s.lookedAt = now;
                if (e.ok) {
                    EndCapture(false);
                } else if (now >= s.phaseDeadline) {
                    EndCapture(true);
                }
                return;
        }
    }
};

}  // namespace

const PhaseRow& RowOf(Phase phase) {
    return kPhases[static_cast<int>(phase)];
}

Millis HeartbeatDeadline(const State& state, const Times& times) {
    return state.lastSignOfLife + times.heartbeatTimeoutMs;
}

Millis DeadlineOf(const State& s, const Times& t) {
    // A job starter waiting out its back-off has no heartbeat deadline.
    const Millis heartbeat = s.jobStarter == JobStarterPhase::kAwaitingRestart
                                 ? std::numeric_limits<Millis>::max()
                                 : HeartbeatDeadline(s, t);
    Millis d = s.phaseDeadline;
    switch (s.phase) {
        case Phase::kListening:
            d = heartbeat;
            break;
        case Phase::kListenPause:
        case Phase::kReading:
        case Phase::kReplying:
            d = std::min(d, heartbeat);
            break;
        case Phase::kAwaitingEnd:
        case Phase::kEnding:
            if (s.oldOnesUnwatched) d = std::min(d, s.lookedAt + t.endPollMs);
            break;
        case Phase::kCapturing:
            d = std::min(d, s.lookedAt + t.capturePollMs);
            break;
        default:
            break;
    }
    const bool listens = s.phase == Phase::kListening || s.phase == Phase::kListenPause;
    if (listens && RestartWanted(s)) d = std::min(d, s.wanted.at);
    if (t.refreshMs != 0) d = std::min(d, s.refreshAt);
    return d;
}

bool RestartWanted(const State& state) {
    return state.jobStarter == JobStarterPhase::kAwaitingRestart ||
           state.jobStarter == JobStarterPhase::kStartFailed;
}

Actions Begin(State* state, const Times& times, bool restartOnExit, Millis now, bool takenOver) {
    *state = State{};
    state->lastSignOfLife = state->jobStarterStart = now;
    state->refreshAt = now + times.refreshMs;  // the run's state was written as it began
    Stepper step{*state, times, restartOnExit, now, {}};
    if (takenOver) {
        step.Do(ActionKind::kPublish);
        step.Listen();
    } else {
        step.BeginPass(Cause::kFirstStart);
    }
    return step.out;
}

Actions Step(State* state, const Times& times, bool restartOnExit, const Event& event, Millis now) {
    Stepper step{*state, times, restartOnExit, now, {}};
    step.Handle(event);
    return step.out;
}

}  // namespace core
