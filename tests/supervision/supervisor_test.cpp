// The supervision's phases end to end: a stop is obeyed within a second in every phase, and
// a job starter's exit is seen at once and, with QVLRESTARTONEXIT=1, restarted at once, the
// later restarts of one that keeps exiting spaced by a growing back-off.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/controller_run.h"
#include "support/process_watch.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

class Supervision : public ControllerRun {
protected:
    void RestartOnExit(bool on) {
        WriteFileBytes(dir_ / "QVLJOBCTL.INI",
                       std::string("[JOBATR]\r\nQVLRESTARTONEXIT=") + (on ? "1" : "0") + "\r\n");
    }
    // The stand-in job starters exit after `ms` with `code` (or live a minute, ms < 0).
    void Lifetime(int ms, int code) {
        if (ms < 0) {
            std::remove((dir_ / "lifetime.txt").c_str());
            return;
        }
        WriteFileBytes(dir_ / "lifetime.txt", std::to_string(ms) + " " + std::to_string(code));
    }
    // Waits up to `ms` until `n` job starters have been started.
    bool WaitForStarts(int n, int ms) {
        const auto end = Clock::now() + Ms(ms);
        while (Starts() < n && Clock::now() < end)
            std::this_thread::sleep_for(Ms(10));
        return Starts() >= n;
    }
};

// In each phase that waits, a stop ends the run at once: the bound is a second, checked with
// room for the process's own end.
TEST_F(Supervision, AStopIsObeyedWithinASecondInEveryPhase) {
    struct Case {
        const char* phase;
        bool restartOnExit;
        std::vector<std::string> times;
        const char* marker;  // the log line that says the phase has begun, and how many
        int count;
        bool deafKill;  // KILL ends nothing
        int lifetime;
    };
    const Case cases[] = {
        {"the pause after KILL", false, {"pause=30000"}, "Prozess KILL", 1, false, -1},
        {"the wait for a job starter that ignores KILL",
         false,
         {"pause=100", "endwait=30000"},
         "Prozess KILL",
         1,
         true,
         -1},
        {"the back-off", true, {"backoff=30000"}, "beendet, Exitcode 3", 2, false, 0},
    };
    const std::string kill = dir_ / ExecutableFileName("KILL");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.phase);
        std::remove((dir_ / "QVLJOBCTL.LOG").c_str());
        RestartOnExit(c.restartOnExit);
        Lifetime(c.lifetime, 3);
        if (c.deafKill && ExecutableFileName("x") == "x") {
            WriteFileBytes(kill, "#!/bin/sh\nexit 0\n");
        } else if (c.deafKill) {
            ASSERT_TRUE(CopyFileTo(BuiltExecutable("qvlcrypt"), kill));  // refuses "KILL <pid>"
        }
        Start(c.restartOnExit ? 60000 : 1000, c.times);
        ASSERT_TRUE(WaitForLog(c.marker, c.count, 15000)) << Log();
        std::this_thread::sleep_for(Ms(300));
        const auto asked = Clock::now();
        EXPECT_EQ(0, Stop());
        EXPECT_LT(Clock::now() - asked, Ms(2000));
        ASSERT_TRUE(CopyFileTo(BuiltExecutable("KILL"), kill));
        EndJobStarters();
    }
}

// The job starter's exit is logged at once with its exit code. With the key it is
// restarted at once; without it, at the heartbeat time-out as ever, and -status shows the
// exit meanwhile.
TEST_F(Supervision, AnExitIsSeenAtOnceAndRestartedAtOnceOnlyWithTheKey) {
    Lifetime(1000, 3);
    for (const bool key : {true, false}) {
        SCOPED_TRACE(key ? "QVLRESTARTONEXIT=1" : "QVLRESTARTONEXIT=0");
        std::remove((dir_ / "starts.txt").c_str());
        RestartOnExit(key);
        Start(key ? 60000 : 5000);
        ASSERT_TRUE(WaitForLog("beendet, Exitcode 3. ", 1, 5000)) << Log();
        if (key) {
            EXPECT_TRUE(WaitForStarts(2, 1500)) << "restarted at once";
        } else {
            EXPECT_FALSE(WaitForStarts(2, 1000)) << "left to the time-out";
            const ProcessResult status = Status();
            EXPECT_EQ(1, status.exitCode) << status.out;
            EXPECT_NE(std::string::npos, status.out.find(" with code 3; restart due at "))
                << status.out;
            EXPECT_TRUE(WaitForStarts(2, 6000)) << "restarted at the time-out";
        }
        EXPECT_EQ(0, Stop());
        EndJobStarters();
    }
}

// A job starter that exits at once every time is restarted after growing delays, doubled
// from the first up to the cap (shortened here: 0.6, 1.2, 2.4, 2.4 s); one that has run longer
// than the reset time is restarted at once again.
TEST_F(Supervision, AJobStarterThatKeepsExitingWaitsLongerEachTime) {
    RestartOnExit(true);
    Lifetime(0, 1);
    Start(60000, {"backoff=600", "maxbackoff=2400", "reset=2000"});
    const int expected[] = {0, 600, 1200, 2400, 2400};
    auto last = Clock::now();
    ASSERT_TRUE(WaitForStarts(1, 5000));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(WaitForStarts(i + 2, expected[i] + 3000)) << i;
        const auto gap = std::chrono::duration_cast<Ms>(Clock::now() - last).count();
        last = Clock::now();
        EXPECT_GE(gap, expected[i] - 50) << "restart " << i + 1;
        EXPECT_LE(gap, expected[i] + 1500) << "restart " << i + 1;
        if (i == 3) Lifetime(2500, 1);  // the sixth runs past the reset time
    }
    // Its exit after 2.5 s is followed at once by a start: 2.5 s, never 2.5 + 2.4.
    ASSERT_TRUE(WaitForStarts(7, 6000));
    const auto gap = std::chrono::duration_cast<Ms>(Clock::now() - last).count();
    EXPECT_LE(gap, 2500 + 1500) << "the back-off was not reset";
    EXPECT_EQ(0, Stop());
}

}  // namespace
