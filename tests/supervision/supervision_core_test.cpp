// The supervision's decisions as tables of events with chosen times: no process, no pipe and
// no clock. Each scenario is a list of steps; each step hands one event in at a time and says
// which actions must come out and which phase the run is in afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "supervision/supervision_core.h"

namespace {

using core::Event;
using core::EventKind;
using core::Phase;

// Short times, so that the tables read easily: heartbeat 1000, client limit 100 (30 for
// another account's), listen retry 50, kill pause 200, end wait 300, forced end wait 400, end
// poll 20, back-off from 100 doubling up to 350, reset after 500.
const core::Times kTimes = {1000, 100, 30, 50, 200, 300, 400, 20, 100, 350, 500};

const char* Name(core::ActionKind kind) {
    using core::ActionKind;
    switch (kind) {
        case ActionKind::kListen:
            return "Listen";
        case ActionKind::kRead:
            return "Read";
        case ActionKind::kReply:
            return "Reply";
        case ActionKind::kDisconnect:
            return "Disconnect";
        case ActionKind::kCancel:
            return "Cancel";
        case ActionKind::kDropSilent:
            return "DropSilent";
        case ActionKind::kDropUnanswered:
            return "DropUnanswered";
        case ActionKind::kSayListenFailed:
            return "SayListenFailed";
        case ActionKind::kHeartbeat:
            return "Heartbeat";
        case ActionKind::kRecordExit:
            return "RecordExit";
        case ActionKind::kCountRestart:
            return "Count";
        case ActionKind::kPlan:
            return "Plan";
        case ActionKind::kRunKill:
            return "RunKill";
        case ActionKind::kJudge:
            return "Judge";
        case ActionKind::kEndItself:
            return "EndItself";
        case ActionKind::kLookAtOldOnes:
            return "Look";
        case ActionKind::kFinishPass:
            return "Finish";
        case ActionKind::kStart:
            return "Start";
        case ActionKind::kSaySilence:
            return "SaySilence";
        case ActionKind::kSilentExchange:
            return "SilentExchange";
        case ActionKind::kPublish:
            return "Publish";
        case ActionKind::kEnd:
            return "End";
        case ActionKind::kHoldReserve:
            return "Hold";
        case ActionKind::kReleaseReserve:
            return "Release";
        case ActionKind::kCapture:
            return "Capture";
        case ActionKind::kLookAtCapture:
            return "LookAtCapture";
        case ActionKind::kEndCapture:
            return "EndCapture";
    }
    return "?";
}

const char* CauseName(core::Cause cause) {
    switch (cause) {
        case core::Cause::kFirstStart:
            return "first";
        case core::Cause::kSilence:
            return "silence";
        case core::Cause::kExit:
            return "exit";
        case core::Cause::kStartFailed:
            return "start_failed";
    }
    return "?";
}

// "Count(silence) Publish Release Plan RunKill": the actions, a cause where one is counted.
std::string Text(const core::Actions& actions) {
    std::string text;
    for (const core::Action& a : actions.list) {
        if (!text.empty()) text += ' ';
        text += Name(a.kind);
        if (a.kind == core::ActionKind::kCountRestart)
            text += std::string("(") + CauseName(a.cause) + ")";
        if (a.kind == core::ActionKind::kEndCapture && a.flag) text += "(abandoned)";
    }
    return text;
}

// A client that comes (kPipeOver while listening) is of the job starter's account.
Event E(EventKind kind, bool ok = true) {
    Event e{kind};
    e.ok = ok;
    e.counts = ok;
    return e;
}
// A client of another account.
Event Other() {
    Event e{EventKind::kPipeOver};
    e.counts = false;
    return e;
}
// What the KILLs left: every old one ended, one that no KILL ends still running, or one that
// KILL is meant to end still running.
enum class Left { kNone, kUnendable, kEnding };
Event Judged(Left left, bool unwatched = false) {
    Event e{EventKind::kJudged};
    e.ok = left == Left::kNone;
    e.unendable = left == Left::kUnendable;
    e.unwatched = unwatched;
    return e;
}
Event ListenFailed(std::uint32_t error, bool starved = false) {
    Event e{EventKind::kPipeOver};
    e.ok = false;
    e.error = error;
    e.starved = starved;
    return e;
}

struct StepRow {
    core::Millis at;
    Event event;
    const char* actions;
    Phase phase;
};

// The first pass of a run, from its begin at 0 to listening at 0.
const std::vector<StepRow> kFirstStart = {
    {0, E(EventKind::kKillStarted, false), "Judge", Phase::kJudging},
    {0, Judged(Left::kNone), "Finish Start", Phase::kStarting},
    {0, E(EventKind::kStarted), "Publish Hold Listen", Phase::kListening},
};

struct Scenario {
    const char* name;
    bool restartOnExit;
    std::vector<StepRow> steps;
};

class Core : public ::testing::Test {
protected:
    void Run(const Scenario& scenario, const core::Times& times = kTimes) {
        SCOPED_TRACE(scenario.name);
        const core::Actions begun = core::Begin(&state_, times, scenario.restartOnExit, 0);
        EXPECT_EQ("Release Plan RunKill", Text(begun));  // nothing held yet: a no-op
        std::vector<StepRow> steps = kFirstStart;
        steps.insert(steps.end(), scenario.steps.begin(), scenario.steps.end());
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const StepRow& row = steps[i];
            const core::Actions out =
                core::Step(&state_, times, scenario.restartOnExit, row.event, row.at);
            EXPECT_EQ(row.actions, Text(out)) << "step " << i << " at " << row.at;
            EXPECT_EQ(core::RowOf(row.phase).name, std::string(core::RowOf(state_.phase).name))
                << "step " << i << " at " << row.at;
        }
    }
    core::State state_;
};

// A full restart for silence, as the phases run it: KILL, its pause, the wait for the old
// job starter's end, the start, and the cycle's read and reply without a client.
const std::vector<StepRow> kSilenceRestart = {
    {999, E(EventKind::kDeadline), "", Phase::kListening},
    {1000, E(EventKind::kDeadline), "Cancel Count(silence) Publish Release Plan RunKill",
     Phase::kKilling},
    {1000, E(EventKind::kKillStarted), "", Phase::kKillPause},
    {1199, E(EventKind::kDeadline), "", Phase::kKillPause},
    {1200, E(EventKind::kDeadline), "RunKill", Phase::kKilling},
    {1200, E(EventKind::kKillStarted, false), "Judge", Phase::kJudging},
    {1200, Judged(Left::kEnding), "", Phase::kAwaitingEnd},
    {1250, E(EventKind::kProcessEnded), "Look", Phase::kAwaitingEnd},
    {1250, E(EventKind::kOldOnesLooked), "Finish Start", Phase::kStarting},
    {1250, E(EventKind::kStarted), "Publish SaySilence SilentExchange Disconnect Hold Listen",
     Phase::kListening},
    // The new job starter's period begins at its start.
    {2249, E(EventKind::kDeadline), "", Phase::kListening},
    {2250, E(EventKind::kDeadline), "Cancel Count(silence) Publish Release Plan RunKill",
     Phase::kKilling},
};

// A client served: read, reply, disconnect, heartbeat; the deadline moves with it.
const std::vector<StepRow> kHeartbeats = {
    {600, E(EventKind::kPipeOver), "Read", Phase::kReading},
    {600, E(EventKind::kPipeOver), "Reply", Phase::kReplying},
    {600, E(EventKind::kPipeOver), "Disconnect Heartbeat Hold Listen", Phase::kListening},
    {1000, E(EventKind::kDeadline), "", Phase::kListening},
    {1599, E(EventKind::kDeadline), "", Phase::kListening},
    {1600, E(EventKind::kDeadline), "Cancel Count(silence) Publish Release Plan RunKill",
     Phase::kKilling},
};

TEST_F(Core, SilenceRestartsAtTheDeadlineAndHeartbeatsMoveIt) {
    for (const Scenario& s :
         {Scenario{"silence", false, kSilenceRestart}, Scenario{"heartbeats", false, kHeartbeats}})
        Run(s);
}

// While nothing happens the state is written once per refresh interval, and only then: every
// wait ends at the refresh, whose write comes first in its step; any other write moves it;
// a stop is not delayed by one.
TEST_F(Core, TheStateIsRefreshedOncePerIntervalAndOnlyThen) {
    core::Times times = kTimes;
    times.refreshMs = 300;
    Run({"refresh",
         false,
         {{300, E(EventKind::kDeadline), "Publish", Phase::kListening},
          {450, E(EventKind::kPipeOver), "Read", Phase::kReading},
          {450, E(EventKind::kPipeOver), "Reply", Phase::kReplying},
          {450, E(EventKind::kPipeOver), "Disconnect Heartbeat Hold Listen", Phase::kListening},
          {600, E(EventKind::kDeadline), "Publish", Phase::kListening},
          {1450, E(EventKind::kDeadline),
           "Publish Cancel Count(silence) Publish Release Plan RunKill", Phase::kKilling},
          {1450, E(EventKind::kKillStarted), "", Phase::kKillPause}}},
        times);
    EXPECT_EQ(1650, core::DeadlineOf(state_, times)) << "the pause ends before the refresh";
    EXPECT_EQ("RunKill", Text(core::Step(&state_, times, false, E(EventKind::kDeadline), 1650)));
    core::Step(&state_, times, false, E(EventKind::kKillStarted), 1650);
    EXPECT_EQ(1750, core::DeadlineOf(state_, times)) << "the refresh ends the second pause";
    EXPECT_EQ("Publish", Text(core::Step(&state_, times, false, E(EventKind::kDeadline), 1750)));
    EXPECT_EQ("Finish End Release",
              Text(core::Step(&state_, times, false, E(EventKind::kStop), 2100)));
    // Without a refresh interval the listening wait ends at the heartbeat deadline alone.
    Run({"none", false, {}});
    EXPECT_EQ(1000, core::DeadlineOf(state_, kTimes));
}

// A job starter to be ended for its silence is first captured where it is stuck: looked at
// often, ended when it has finished or at its limit (then abandoned; a stop ends it too, see
// below); one that could not be started holds nothing up. An exit is never captured.
TEST_F(Core, ASilentJobStarterIsCapturedBeforeItsKillWithinTheLimit) {
    core::Times times = kTimes;
    times.captureMs = 500;
    times.capturePollMs = 20;
    const StepRow due = {1000, E(EventKind::kDeadline), "Cancel Count(silence) Publish Capture",
                         Phase::kCapturing};
    const Scenario scenarios[] = {
        {"finished",
         false,
         {due,
          {1000, E(EventKind::kCaptureStarted), "", Phase::kCapturing},
          {1020, E(EventKind::kDeadline), "LookAtCapture", Phase::kCapturing},
          {1020, E(EventKind::kCaptureLooked, false), "", Phase::kCapturing},
          {1300, E(EventKind::kCaptureLooked), "EndCapture Release Plan RunKill",
           Phase::kKilling}}},
        {"past its limit",
         false,
         {due,
          {1000, E(EventKind::kCaptureStarted), "", Phase::kCapturing},
          {1499, E(EventKind::kCaptureLooked, false), "", Phase::kCapturing},
          {1500, E(EventKind::kDeadline), "EndCapture(abandoned) Release Plan RunKill",
           Phase::kKilling}}},
        {"not started",
         false,
         {due,
          {1000, E(EventKind::kCaptureStarted, false), "Release Plan RunKill", Phase::kKilling}}},
        {"an exit",
         true,
         {{500, E(EventKind::kProcessEnded), "RecordExit Publish", Phase::kListening},
          {500, E(EventKind::kDeadline), "Cancel Count(exit) Publish Release Plan RunKill",
           Phase::kKilling}}},
    };
    for (const Scenario& s : scenarios)
        Run(s, times);
    Run({"looked at often", false, {due}}, times);
    EXPECT_EQ(1020, core::DeadlineOf(state_, times));
}

// Clients that hold the cycle are dropped at their limit or at the heartbeat deadline;
// neither is a sign of life.
TEST_F(Core, ClientsThatHoldTheCycleAreDropped) {
    const Scenario scenarios[] = {
        {"no message",
         false,
         {{100, E(EventKind::kPipeOver), "Read", Phase::kReading},
          {199, E(EventKind::kDeadline), "", Phase::kReading},
          {200, E(EventKind::kDeadline), "Cancel Disconnect DropSilent Hold Listen",
           Phase::kListening},
          {1000, E(EventKind::kDeadline), "Cancel Count(silence) Publish Release Plan RunKill",
           Phase::kKilling}}},
        {"reply never taken",
         false,
         {{100, E(EventKind::kPipeOver), "Read", Phase::kReading},
          {100, E(EventKind::kPipeOver), "Reply", Phase::kReplying},
          {200, E(EventKind::kDeadline), "Cancel Disconnect DropUnanswered Hold Listen",
           Phase::kListening}}},
        {"past the heartbeat deadline",
         false,
         {{950, E(EventKind::kPipeOver), "Read", Phase::kReading},
          {1000, E(EventKind::kDeadline),
           "Cancel Disconnect DropSilent Count(silence) Publish Release Plan RunKill",
           Phase::kKilling}}},
        {"another account's, at its shorter limit",
         false,
         {{100, Other(), "Read", Phase::kReading},
          {129, E(EventKind::kDeadline), "", Phase::kReading},
          {130, E(EventKind::kDeadline), "Cancel Disconnect DropSilent Hold Listen",
           Phase::kListening},
          {130, Other(), "Read", Phase::kReading},
          {130, E(EventKind::kPipeOver), "Reply", Phase::kReplying},
          {160, E(EventKind::kDeadline), "Cancel Disconnect DropUnanswered Hold Listen",
           Phase::kListening}}},
    };
    for (const Scenario& s : scenarios)
        Run(s);
}

// Another account's clients are served, but only the job starter's account heartbeats: a
// silent job starter is restarted on time however often others call.
TEST_F(Core, OnlyTheJobStartersAccountHeartbeats) {
    Run({"another account's clients",
         false,
         {{600, Other(), "Read", Phase::kReading},
          {600, E(EventKind::kPipeOver), "Reply", Phase::kReplying},
          {600, E(EventKind::kPipeOver), "Disconnect Hold Listen", Phase::kListening},
          {999, Other(), "Read", Phase::kReading},
          {999, E(EventKind::kPipeOver), "Reply", Phase::kReplying},
          {999, E(EventKind::kPipeOver), "Disconnect Hold Listen", Phase::kListening},
          {1000, E(EventKind::kDeadline), "Cancel Count(silence) Publish Release Plan RunKill",
           Phase::kKilling}}});
}

// A failed listen is said once per kind of failure, then tried again after a pause; the
// heartbeat deadline still holds meanwhile. One for want of descriptors is said with the
// descriptors held back let go, and they are held again after it.
TEST_F(Core, AFailedListenIsSaidOncePerKindAndTriedAgainAfterAPause) {
    Run({"listen failures",
         false,
         {{10, ListenFailed(24), "SayListenFailed Disconnect", Phase::kListenPause},
          {59, E(EventKind::kDeadline), "", Phase::kListenPause},
          {60, E(EventKind::kDeadline), "Hold Listen", Phase::kListening},
          {60, ListenFailed(24), "Disconnect", Phase::kListenPause},
          {110, E(EventKind::kDeadline), "Hold Listen", Phase::kListening},
          {110, ListenFailed(23), "SayListenFailed Disconnect", Phase::kListenPause},
          {160, E(EventKind::kDeadline), "Hold Listen", Phase::kListening},
          {160, ListenFailed(5, true), "Release SayListenFailed Hold Disconnect",
           Phase::kListenPause},
          {1000, E(EventKind::kDeadline), "Count(silence) Publish Release Plan RunKill",
           Phase::kKilling}}});
}

// KILL that does not end the job starter: the controller ends it itself after the end wait,
// and starts the new one after its own wait even when that one will not end either.
TEST_F(Core, OldJobStartersThatStayAreEndedByTheControllerItself) {
    const std::vector<StepRow> toJudging = {
        {1000, E(EventKind::kDeadline), "Cancel Count(silence) Publish Release Plan RunKill",
         Phase::kKilling},
        {1000, E(EventKind::kKillStarted), "", Phase::kKillPause},
        {1200, E(EventKind::kDeadline), "RunKill", Phase::kKilling},
        {1200, E(EventKind::kKillStarted, false), "Judge", Phase::kJudging},
    };
    auto with = [&](std::vector<StepRow> rest) {
        std::vector<StepRow> all = toJudging;
        all.insert(all.end(), rest.begin(), rest.end());
        return all;
    };
    const Scenario scenarios[] = {
        {"after the end wait", false,
         with({{1200, Judged(Left::kEnding), "", Phase::kAwaitingEnd},
               {1500, E(EventKind::kDeadline), "Look", Phase::kAwaitingEnd},
               {1500, E(EventKind::kOldOnesLooked, false), "EndItself", Phase::kEnding},
               {1899, E(EventKind::kDeadline), "Look", Phase::kEnding},
               {1899, E(EventKind::kOldOnesLooked, false), "", Phase::kEnding},
               {1900, E(EventKind::kDeadline), "Look", Phase::kEnding},
               {1900, E(EventKind::kOldOnesLooked, false), "Finish Start", Phase::kStarting}})},
        {"at once when KILL could not be started", false,
         with({{1200, Judged(Left::kUnendable), "EndItself", Phase::kEnding},
               {1210, E(EventKind::kProcessEnded), "Look", Phase::kEnding},
               {1210, E(EventKind::kOldOnesLooked), "Finish Start", Phase::kStarting}})},
    };
    for (const Scenario& s : scenarios)
        Run(s);
}

// An old job starter that cannot be watched is looked at every end poll, not only at the
// end wait's deadline.
TEST_F(Core, AnUnwatchedOldJobStarterIsLookedAtOften) {
    core::State s;
    core::Begin(&s, kTimes, false, 0);
    core::Step(&s, kTimes, false, E(EventKind::kKillStarted, false), 0);
    core::Step(&s, kTimes, false, Judged(Left::kEnding, true), 0);
    EXPECT_EQ(20, core::DeadlineOf(s, kTimes));
    core::Step(&s, kTimes, false, E(EventKind::kDeadline), 20);
    Event looked{EventKind::kOldOnesLooked};
    looked.ok = false;
    looked.unwatched = false;
    core::Step(&s, kTimes, false, looked, 20);
    EXPECT_EQ(300, core::DeadlineOf(s, kTimes)) << "watched now: the end wait's deadline";
}

// With restart on exit, an exit is restarted at once; one that keeps exiting waits longer
// each time, doubling up to the cap (the smaller of the most and the heartbeat time-out); a
// job starter that ran past the reset time starts the back-off again.
TEST_F(Core, ExitsAreRestartedAfterAGrowingBackOff) {
    core::State s;
    core::Begin(&s, kTimes, true, 0);
    for (const StepRow& row : kFirstStart)
        core::Step(&s, kTimes, true, row.event, row.at);
    // Each row: how long the job starter ran, the delay before its restart.
    struct Row {
        core::Millis ran;
        core::Millis delay;
    };
    const Row rows[] = {{0, 0}, {0, 100}, {0, 200}, {0, 350}, {0, 350}, {600, 0}, {0, 100}};
    core::Millis now = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(now);
        now += r.ran;
        EXPECT_EQ("RecordExit Publish",
                  Text(core::Step(&s, kTimes, true, E(EventKind::kProcessEnded), now)));
        EXPECT_EQ(now + r.delay, s.shownDue);
        EXPECT_EQ(static_cast<std::uint32_t>(r.delay), s.shownBackoffMs);
        EXPECT_EQ(now + r.delay, core::DeadlineOf(s, kTimes));
        if (r.delay > 0) {
            EXPECT_EQ(
                "", Text(core::Step(&s, kTimes, true, E(EventKind::kDeadline), now + r.delay - 1)));
        }
        now += r.delay;
        EXPECT_EQ("Cancel Count(exit) Publish Release Plan RunKill",
                  Text(core::Step(&s, kTimes, true, E(EventKind::kDeadline), now)));
        for (const StepRow& row : kFirstStart)
            core::Step(&s, kTimes, true, row.event, now);
        ASSERT_EQ(Phase::kListening, s.phase);
    }
}

// The job starter's phase through its exits, restarts and a failed start: one row per event,
// with restart on exit and without.
TEST_F(Core, TheJobStartersPhaseFollowsItsExitsAndStarts) {
    using JS = core::JobStarterPhase;
    struct Row {
        bool restartOnExit;
        Event event;
        JS after;
    };
    Event failed = E(EventKind::kStarted, false);
    const Row rows[] = {
        {true, E(EventKind::kProcessEnded), JS::kAwaitingRestart},
        {true, E(EventKind::kDeadline), JS::kExited},  // the back-off's end: the pass begins
        {true, E(EventKind::kKillStarted, false), JS::kExited},
        {true, Judged(Left::kNone), JS::kExited},
        {true, failed, JS::kStartFailed},
        {true, E(EventKind::kDeadline), JS::kRunning},  // its restart's pass
        {true, E(EventKind::kKillStarted, false), JS::kRunning},
        {true, Judged(Left::kNone), JS::kRunning},
        {true, E(EventKind::kStarted), JS::kRunning},
        {false, E(EventKind::kProcessEnded), JS::kExited},
    };
    core::State s;
    core::Begin(&s, kTimes, true, 0);
    for (const StepRow& row : kFirstStart)
        core::Step(&s, kTimes, true, row.event, row.at);
    core::Millis now = 0;
    for (const Row& row : rows) {
        // A deadline comes when the wait would end (the back-off's end); the rest at once.
        if (row.event.kind == EventKind::kDeadline) now = core::DeadlineOf(s, kTimes);
        core::Step(&s, kTimes, row.restartOnExit, row.event, now);
        EXPECT_EQ(static_cast<int>(row.after), static_cast<int>(s.jobStarter))
            << core::RowOf(s.phase).name;
    }
}

// A job starter that exits at once every time, with a back-off as long as the heartbeat
// time-out: every restart is counted as the exit it is, never as silence, and none says the
// job starter did not answer.
TEST_F(Core, ACrashLoopIsCountedAsExits) {
    const core::Times times = {300, 100, 30, 50, 200, 300, 400, 20, 300, 600, 5000};
    core::State s;
    core::Begin(&s, times, true, 0);
    for (const StepRow& row : kFirstStart)
        core::Step(&s, times, true, row.event, row.at);
    core::Millis now = 0;
    for (int restart = 0; restart < 4; ++restart) {
        SCOPED_TRACE(restart);
        now += 1;  // it exits at once
        core::Step(&s, times, true, E(EventKind::kProcessEnded), now);
        EXPECT_EQ(s.wanted.at, core::DeadlineOf(s, times)) << "no heartbeat deadline";
        now = s.wanted.at;
        EXPECT_EQ("Cancel Count(exit) Publish Release Plan RunKill",
                  Text(core::Step(&s, times, true, E(EventKind::kDeadline), now)));
        core::Step(&s, times, true, E(EventKind::kKillStarted, false), now);
        core::Step(&s, times, true, Judged(Left::kNone), now);
        EXPECT_EQ("Publish Disconnect Hold Listen",
                  Text(core::Step(&s, times, true, E(EventKind::kStarted), now)));
    }
    EXPECT_EQ(300u, s.shownBackoffMs) << "the back-off reached the time-out";
}

// Without the key an exit is left to the heartbeat deadline, which still says that the job
// starter did not answer; the restart is counted as the exit it is.
TEST_F(Core, WithoutTheKeyTheExitIsRestartedAtTheDeadlineAsAnExit) {
    Run({"exit without the key, then the deadline",
         false,
         {{300, E(EventKind::kProcessEnded), "RecordExit Publish", Phase::kListening},
          {1000, E(EventKind::kDeadline), "Cancel Count(exit) Publish Release Plan RunKill",
           Phase::kKilling},
          {1000, E(EventKind::kKillStarted, false), "Judge", Phase::kJudging},
          {1000, Judged(Left::kNone), "Finish Start", Phase::kStarting},
          {1000, E(EventKind::kStarted), "Publish SaySilence SilentExchange Disconnect Hold Listen",
           Phase::kListening}}});
}

// Without the key an exit is logged and recorded, and the restart comes at the heartbeat
// deadline, which the state file shows meanwhile.
TEST_F(Core, WithoutTheKeyAnExitWaitsForTheDeadline) {
    Run({"exit without the key",
         false,
         {{300, E(EventKind::kProcessEnded), "RecordExit Publish", Phase::kListening},
          {999, E(EventKind::kDeadline), "", Phase::kListening}}});
    EXPECT_EQ(1000, state_.shownDue);
}

// A start that failed, with the key, is restarted as a failed start; without the key the
// heartbeat deadline restarts it.
TEST_F(Core, AFailedStartIsRestartedByItsOwnCause) {
    const Scenario scenarios[] = {
        {"with the key",
         true,
         {{1000, E(EventKind::kDeadline), "Cancel Count(silence) Publish Release Plan RunKill",
           Phase::kKilling},
          {1000, E(EventKind::kKillStarted, false), "Judge", Phase::kJudging},
          {1000, Judged(Left::kNone), "Finish Start", Phase::kStarting},
          {1000, E(EventKind::kStarted, false),
           "Publish SaySilence SilentExchange Disconnect Count(start_failed) Publish Release Plan "
           "RunKill",
           Phase::kKilling}}},
        {"without the key",
         false,
         {{1000, E(EventKind::kDeadline), "Cancel Count(silence) Publish Release Plan RunKill",
           Phase::kKilling},
          {1000, E(EventKind::kKillStarted, false), "Judge", Phase::kJudging},
          {1000, Judged(Left::kNone), "Finish Start", Phase::kStarting},
          {1000, E(EventKind::kStarted, false),
           "Publish SaySilence SilentExchange Disconnect Hold Listen", Phase::kListening}}},
    };
    for (const Scenario& s : scenarios)
        Run(s);
}

// A restart that is due is never held back by clients: after each one served the deadlines
// are looked at before the next listen.
TEST_F(Core, AStreamOfClientsCannotHoldADueRestartBack) {
    Run({"clients after an exit",
         true,
         {{10, E(EventKind::kProcessEnded), "RecordExit Publish", Phase::kListening},
          {10, E(EventKind::kPipeOver), "Read", Phase::kReading},
          {10, E(EventKind::kPipeOver), "Reply", Phase::kReplying},
          {10, E(EventKind::kPipeOver),
           "Disconnect Heartbeat Count(exit) Publish Release Plan RunKill", Phase::kKilling}}});
}

// A stop ends the run in every phase: the pass is forgotten without logging its leftovers,
// and the job starter's watch is let go.
TEST_F(Core, AStopEndsTheRunInEveryPhase) {
    const std::vector<StepRow> toEach = {
        {0, E(EventKind::kPipeOver), "Read", Phase::kReading},
        {0, E(EventKind::kPipeOver), "Reply", Phase::kReplying},
        {0, E(EventKind::kPipeOver), "Disconnect Heartbeat Hold Listen", Phase::kListening},
        {0, ListenFailed(24), "SayListenFailed Disconnect", Phase::kListenPause},
        {1000, E(EventKind::kDeadline), "Count(silence) Publish Capture", Phase::kCapturing},
        {1000, E(EventKind::kCaptureStarted), "", Phase::kCapturing},
        {1000, E(EventKind::kCaptureLooked), "EndCapture Release Plan RunKill", Phase::kKilling},
        {1000, E(EventKind::kKillStarted), "", Phase::kKillPause},
        {1200, E(EventKind::kDeadline), "RunKill", Phase::kKilling},
        {1200, E(EventKind::kKillStarted, false), "Judge", Phase::kJudging},
        {1200, Judged(Left::kEnding), "", Phase::kAwaitingEnd},
        {1500, E(EventKind::kDeadline), "Look", Phase::kAwaitingEnd},
        {1500, E(EventKind::kOldOnesLooked, false), "EndItself", Phase::kEnding},
        {1900, E(EventKind::kDeadline), "Look", Phase::kEnding},
        {1900, E(EventKind::kOldOnesLooked, false), "Finish Start", Phase::kStarting},
    };
    core::Times times = kTimes;  // with a capture of the silent job starter
    times.captureMs = 500;
    times.capturePollMs = 20;
    std::vector<Phase> seen;
    for (std::size_t n = 0; n <= toEach.size(); ++n) {
        core::State s;
        core::Begin(&s, times, false, 0);
        std::vector<StepRow> steps = kFirstStart;
        steps.insert(steps.end(), toEach.begin(), toEach.begin() + static_cast<long>(n));
        for (const StepRow& row : steps)
            core::Step(&s, times, false, row.event, row.at);
        seen.push_back(s.phase);
        SCOPED_TRACE(core::RowOf(s.phase).name);
        const bool capturing = s.phase == Phase::kCapturing;
        EXPECT_EQ(capturing ? "EndCapture(abandoned) Finish End Release" : "Finish End Release",
                  Text(core::Step(&s, times, false, E(EventKind::kStop), 2000)));
        EXPECT_EQ(Phase::kOver, s.phase);
        EXPECT_EQ("", Text(core::Step(&s, times, false, E(EventKind::kPipeOver), 2000)))
            << "nothing after the end";
    }
    for (int p = 0; p < core::kPhaseCount; ++p) {
        if (static_cast<Phase>(p) == Phase::kOver) continue;  // the stop's own
        EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), static_cast<Phase>(p)))
            << core::RowOf(static_cast<Phase>(p)).name << " was never stopped in";
    }
}

// A job starter taken over from the previous run is listened for at once, nothing is ended or
// started, and its time-out runs from the take-over.
TEST_F(Core, ATakenOverJobStarterIsListenedForFromTheStart) {
    core::State s;
    EXPECT_EQ("Publish Hold Listen", Text(core::Begin(&s, kTimes, false, 5000, true)));
    EXPECT_EQ(Phase::kListening, s.phase);
    EXPECT_EQ(6000, core::DeadlineOf(s, kTimes));
    EXPECT_EQ("Cancel Count(silence) Publish Release Plan RunKill",
              Text(core::Step(&s, kTimes, false, E(EventKind::kDeadline), 6000)));
}

// The core decides what the system's log is told: a start that follows a restart's KILLs is
// reported with the restart's cause; the first start is not.
TEST_F(Core, EveryRestartsStartIsReportedWithItsCauseAndTheFirstIsNot) {
    core::State s;
    core::Begin(&s, kTimes, false, 0);
    core::Step(&s, kTimes, false, E(EventKind::kKillStarted, false), 0);
    const core::Actions first = core::Step(&s, kTimes, false, Judged(Left::kNone), 0);
    ASSERT_EQ("Finish Start", Text(first));
    EXPECT_FALSE(first.list.back().flag) << "the first start";
    core::Step(&s, kTimes, false, E(EventKind::kStarted), 0);
    core::Step(&s, kTimes, false, E(EventKind::kDeadline), 1000);  // silence
    core::Step(&s, kTimes, false, E(EventKind::kKillStarted, false), 1000);
    const core::Actions restart = core::Step(&s, kTimes, false, Judged(Left::kNone), 1000);
    ASSERT_EQ("Finish Start", Text(restart));
    EXPECT_TRUE(restart.list.back().flag);
    EXPECT_EQ(core::Cause::kSilence, restart.list.back().cause);
}

// The table and the deadlines agree: each phase has its own row, and the listening phases
// end at a wanted restart.
TEST_F(Core, ThePhaseTableSaysWhatEachPhaseWaitsOn) {
    for (int p = 0; p < core::kPhaseCount; ++p) {
        const core::PhaseRow& row = core::RowOf(static_cast<Phase>(p));
        EXPECT_EQ(static_cast<Phase>(p), row.phase) << row.name;
    }
    core::State s;
    s.phase = Phase::kListening;
    s.lastSignOfLife = 0;
    s.jobStarter = core::JobStarterPhase::kAwaitingRestart;
    s.wanted = {400, core::Cause::kExit};
    EXPECT_EQ(400, core::DeadlineOf(s, kTimes));
    s.phase = Phase::kReading;
    s.phaseDeadline = 700;
    EXPECT_EQ(700, core::DeadlineOf(s, kTimes)) << "a client's limit ignores a wanted restart";
}

}  // namespace
