// The supervision's decisions, apart from everything that carries them out: given where the
// run stands, one event and the time, it gives where the run stands next and the actions to
// carry out. It never reads a clock and touches no process-wide state, so that deadlines,
// back-off, a stop in every phase and the causes of restarts are tested as tables of events
// with chosen times. The run loop (supervisor.h) waits on what the phase table names, turns
// what it saw into one event, hands it in, and carries out the actions in their order.
//
// The phases, each with what the loop's one wait watches and the deadline that holds:
//   listening      pipe, job starter  the heartbeat deadline, a restart that is due
//   listen pause   job starter        the pause, the heartbeat deadline, a due restart
//   reading        pipe, job starter  the client's limit (shorter for a client of another
//                                     account than the job starter's), the heartbeat deadline
//   replying       pipe, job starter  the same
//   capturing      -                  the capture's limit (looked at often): a silent job
//                                     starter is captured where it is stuck, before KILL
//   killing        -                  none: the next KILL is being started
//   kill pause     -                  the pause after a KILL
//   judging        -                  none: what follows the KILLs is being judged
//   awaiting end   the old ones       the end wait (looked at often where none is watched)
//   ending         the old ones       the wait after the controller ended them itself
//   starting       -                  none: the new job starter is being started
//   over           -                  none: the run has ended, and no event changes that
// In a phase that has no deadline an action is under way whose result comes back at once as
// the next event; the loop looks at the stop before it hands that in. Every wait also ends
// when the state is due to be written again (the refresh), so that the loop wakes once per
// refresh interval while nothing happens, and only then.
//
// Descriptors held back for restarts: a run holds a few before each listen (where a hold
// failed for want of descriptors, it is tried again there) and lets them go for a pass
// (before its plan) and for the run's end. A listen that failed for want of descriptors lets
// them go while it is said (the log must be opened to say it), and holds them again.
//
// Two phases say what is going on: the phase of the pipe's cycle and the restart's steps,
// and the job starter's phase (running, exited, awaiting its restart, its start failed),
// since the pipe's cycle goes on whatever the job starter is. What is wanted is kept apart
// from what is: `Wanted` says when a wanted restart is due, and why. The cause of every
// restart is one value, recorded where the pass begins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace core {

// Milliseconds on the loop's steady clock.
using Millis = std::int64_t;

enum class Phase {
    kListening,
    kListenPause,
    kReading,
    kReplying,
    kCapturing,
    kKilling,
    kKillPause,
    kJudging,
    kAwaitingEnd,
    kEnding,
    kStarting,
    kOver,
};
constexpr int kPhaseCount = 12;

// Why a kill-and-start pass runs; the first of a run is no restart.
enum class Cause { kFirstStart, kSilence, kExit, kStartFailed };

// The job starter's side of the run, beside the phase of the pipe's cycle (which goes on
// serving clients whatever the job starter is), each with what ends it:
//   running            it runs, or its start or restart is under way: its heartbeat deadline
//   exited             it ended by itself, without restart on exit: its heartbeat deadline,
//                      then a restart for its exit
//   awaiting restart   it ended by itself, with restart on exit: the back-off's end (`wanted`),
//                      and no heartbeat deadline, since it cannot heartbeat
//   start failed       its start failed, with restart on exit: the back-off's end (`wanted`)
//                      or, should that come later, its heartbeat deadline
enum class JobStarterPhase { kRunning, kExited, kAwaitingRestart, kStartFailed };

// What the loop's wait watches in a phase.
enum class Watched { kNothing, kJobStarter, kOldJobStarters };
struct PhaseRow {
    Phase phase;
    const char* name;
    bool pipe;        // the pipe's pending operation
    Watched process;  // whose end
};
const PhaseRow& RowOf(Phase phase);

// The times a run keeps to.
struct Times {
    std::uint32_t heartbeatTimeoutMs;
    std::uint32_t clientLimitMs;
    std::uint32_t otherClientLimitMs;  // for a client of another account than the job starter's
    std::uint32_t listenRetryMs;
    std::uint32_t killPauseMs;
    std::uint32_t endWaitMs;
    std::uint32_t forcedEndWaitMs;
    std::uint32_t endPollMs;  // an old job starter that cannot be watched is looked at so often
    std::uint32_t firstBackoffMs;
    std::uint32_t maxBackoffMs;
    std::uint32_t backoffResetMs;
    // The run's state is written at least this often, whatever happens (0: only when it
    // changes), so that a controller whose loop no longer makes progress shows it.
    std::uint32_t refreshMs = 0;
    // A job starter to be ended for its silence is first captured where it is stuck, for at
    // most this long (0: never), looked at so often meanwhile.
    std::uint32_t captureMs = 0;
    std::uint32_t capturePollMs = 0;
};

// The restart that is wanted while the job starter awaits its restart or its start failed:
// when, and why.
struct Wanted {
    Millis at = 0;
    Cause cause = Cause::kExit;
};

// How many different listen failures are said; more kinds are not said again.
constexpr std::size_t kListenErrorsSaid = 8;

struct State {
    Phase phase = Phase::kKilling;
    Millis phaseDeadline = 0;  // of a phase with a limit of its own
    Millis lastSignOfLife = 0;
    bool clientCounts = false;  // the connected client runs under the job starter's account
    Millis jobStarterStart = 0;
    bool heartbeatSinceStart = false;
    JobStarterPhase jobStarter = JobStarterPhase::kRunning;
    Wanted wanted;
    std::uint32_t backoffMs = 0;  // the delay before the next restart after an exit
    // What the state file shows of the next restart: when it is due (0: not known) and the
    // back-off it was given; `shownChanges` counts the changes, so that the loop turns the
    // time into a wall-clock time once per change.
    Millis shownDue = 0;
    std::uint32_t shownBackoffMs = 0;
    std::uint32_t shownChanges = 0;
    Cause cause = Cause::kFirstStart;  // of the pass under way
    bool atHeartbeatDeadline = false;  // the pass under way came at the heartbeat deadline
    bool oldOnesUnwatched = false;     // some old job starter can only be looked at
    Millis lookedAt = 0;               // when the old job starters were last looked at
    std::uint32_t listenErrors[kListenErrorsSaid] = {};
    std::size_t listenErrorCount = 0;
    Millis refreshAt = 0;  // when the state is next written if nothing else writes it
};

enum class EventKind {
    kBegin,           // the run begins: its first pass
    kStop,            // a stop was asked for
    kDeadline,        // the wait ended without anything else happening
    kPipeOver,        // the pipe's operation is over (ok: a client came, of the job
                      // starter's account when `counts`; else `error`, `starved` when no
                      // descriptor was left)
    kProcessEnded,    // a watched process ended
    kKillStarted,     // `ok`: a KILL was started (or tried); false: none is left
    kJudged,          // the KILLs are started: `ok` every old one has ended, else
                      // `unendable` one still runs that no KILL of the pass ends (KILL
                      // could not be run, or spares it); `unwatched` as said
    kOldOnesLooked,   // `ok`: every old job starter has ended; `unwatched` as said
    kStarted,         // `ok`: the new job starter was started
    kCaptureStarted,  // `ok`: the capture of the silent job starter is under way
    kCaptureLooked,   // `ok`: the capture has finished
};
struct Event {
    EventKind kind;
    bool ok = true;
    bool counts = false;  // a client that came is a heartbeat
    bool unwatched = false;
    bool unendable = false;
    bool starved = false;
    std::uint32_t error = 0;
};

enum class ActionKind {
    kListen,           // start listening; its result may come back at once
    kRead,             // read one message
    kReply,            // send the 80-byte reply to what was read
    kDisconnect,       // disconnect the client
    kCancel,           // end the pending pipe operation before its record is reused
    kDropSilent,       // log that a client was dropped without a message
    kDropUnanswered,   // log that a client was dropped without taking its reply
    kSayListenFailed,  // say (once per kind) that a listen failed with `error` (`starved`: for
                       // want of descriptors, also to the console and the system's log)
    kHeartbeat,        // record a heartbeat (`first`: the job starter's first)
    kRecordExit,       // log and record that the job starter ended by itself
    kCountRestart,     // count a restart for `cause` (the job starter is being restarted)
    kPlan,             // plan what the pass ends, taking over the job starter's watch
    kRunKill,          // start the pass's next KILL
    kJudge,            // look at what the KILLs left
    kEndItself,        // end the old ones by the controller's own hand (`afterWait`)
    kLookAtOldOnes,    // look whether the old ones have ended
    kFinishPass,       // forget the pass (`leftovers`: log those still running)
    kStart,            // start the new job starter (`flag`: a restart, reported to the
                       // system's log with `cause`)
    kSaySilence,       // log "... antwortet nicht"
    kSilentExchange,   // the read and the reply of the cycle without a client
    kPublish,          // publish the run's state (with the wanted restart); also the refresh
    kEnd,              // the run ends: let go of the job starter's watch
    kHoldReserve,      // hold descriptors back for restarts (again)
    kReleaseReserve,   // let the descriptors held back go
    kCapture,          // start capturing the silent job starter where it is stuck
    kLookAtCapture,    // look whether the capture has finished
    kEndCapture,       // end the capture (`abandoned`: past its limit, or for a stop)
};
struct Action {
    ActionKind kind;
    Cause cause = Cause::kFirstStart;
    std::uint32_t error = 0;
    bool flag = false;  // first / afterWait / leftovers / abandoned / restart / starved
};

// The actions of one step, in the order they are carried out; as many as the step gives.
struct Actions {
    std::vector<Action> list;
    void Add(const Action& action) { list.push_back(action); }
};

// The run's start: the state at `now`, with the first pass's actions; or, for a job starter
// `takenOver` from the previous run, none: it is listened for, its time-out from `now`.
Actions Begin(State* state, const Times& times, bool restartOnExit, Millis now,
              bool takenOver = false);
// One event at `now`: the next state and the actions.
Actions Step(State* state, const Times& times, bool restartOnExit, const Event& event, Millis now);
// When the current phase ends unless something else happens first.
Millis DeadlineOf(const State& state, const Times& times);
// When the current job starter's heartbeat deadline passes.
Millis HeartbeatDeadline(const State& state, const Times& times);
// True while a restart is wanted (the job starter awaits its restart, or its start failed).
bool RestartWanted(const State& state);

}  // namespace core
