// -status from outside a running controller: a hostile state file is unreadable, never a
// hang; the state file's temporary name follows nothing; every user gets the same answer;
// and a restarted job starter is judged by its own heartbeats.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/controller_run.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

class StatusCommand : public ControllerRun {
protected:
    std::string StateFile() const { return dir_ / ("QVLJOBCTL" + instance_ + ".STATE"); }
    static bool Linux() { return ExecutableFileName("x") == "x"; }
};

std::string HealthLine(const std::string& out) {
    const std::size_t at = out.find("  health:");
    return at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
}

// Whatever lies at the state file's name, -status returns at once and calls it unreadable.
TEST_F(StatusCommand, AHostileStateFileIsUnreadableNeverAHang) {
    struct Case {
        const char* what;
        bool linuxOnly;
        std::string content;  // "": made by a command instead
        std::vector<std::string> make;
    };
    const Case cases[] = {
        {"/dev/zero", true, "", {"/bin/ln", "-s", "/dev/zero", StateFile()}},
        {"a FIFO", true, "", {"/usr/bin/mkfifo", StateFile()}},
        {"a huge file", false, std::string(1 << 20, 'x'), {}},
        {"garbage", false, std::string("\x01\xff=\x7f\n\n=\x80", 8), {}},
        {"a negative time", false, "controller_pid=1\nstarted=-5\n", {}},
        {"a time past 9999", false, "controller_pid=1\nstarted=253402300800\n", {}},
        {"a creation time without a process",
         false,
         "controller_pid=0\ncontroller_created=7\n",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.linuxOnly && !Linux()) continue;
        std::remove(StateFile().c_str());
        if (c.make.empty()) {
            WriteFileBytes(StateFile(), c.content);
        } else {
            ASSERT_EQ(0, RunProcess(c.make).exitCode);
        }
        const auto begin = Clock::now();
        const ProcessResult r = Status();
        EXPECT_LT(Clock::now() - begin, std::chrono::seconds(Linux() ? 1 : 5));
        EXPECT_EQ(1, r.exitCode) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("state file unreadable: ")) << r.out;
    }
}

// A link, a FIFO or a folder where the state file's temporary file once had its fixed name:
// nothing is followed or opened, and the controller serves and publishes its state.
TEST_F(StatusCommand, TheStateFileFollowsNothingPlacedBesideIt) {
    struct Case {
        const char* what;
        bool linuxOnly;
        std::vector<std::string> make;
    };
    const std::string temporary = StateFile() + ".tmp", victim = dir_ / "victim";
    const Case cases[] = {{"a link", true, {"/bin/ln", "-s", victim, temporary}},
                          {"a FIFO", true, {"/usr/bin/mkfifo", temporary}},
                          {"a folder", false, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.linuxOnly && !Linux()) continue;
        std::remove(temporary.c_str());
        WriteFileBytes(victim, "secret\n");
        if (c.make.empty()) {
            ASSERT_TRUE(MakeDirectory(temporary));
        } else {
            ASSERT_EQ(0, RunProcess(c.make).exitCode);
        }
        Start();
        EXPECT_EQ(0, Stop());
        EXPECT_EQ("secret\n", ReadFileBytes(victim));
        EXPECT_NE(std::string::npos, ReadFileBytes(StateFile()).find("\nended=")) << "published";
        RemoveAll(temporary);
    }
}

// Another user (the user nobody) gets the answer root gets about root's controller.
TEST_F(StatusCommand, EveryUserGetsTheSameAnswer) {
    if (!Linux() || !IsRoot()) GTEST_SKIP() << "another user: Linux, as root";
    RunProcess({"/bin/chmod", "755", dir_.path()});
    Start();
    const ProcessResult root = Status();
    const ProcessResult nobody = RunProcess(AsNobody({dir_ / "qvlstatus", "-status", instance_}));
    EXPECT_EQ(0, root.exitCode) << root.out;
    EXPECT_EQ(root.exitCode, nobody.exitCode) << nobody.out;
    EXPECT_EQ(HealthLine(root.out), HealthLine(nobody.out));
    EXPECT_NE(std::string::npos, nobody.out.find("still the process the controller started"))
        << nobody.out;
}

// After a restart for silence, the new job starter has its full time-out: -status never
// calls it unhealthy before then, though the last heartbeat is older than the time-out and
// the state file's lag of 10 s (a long pause after KILL makes that window wide).
TEST_F(StatusCommand, ARestartedJobStarterHasItsOwnTimeOut) {
    constexpr int kTimeoutMs = 10000, kPauseMs = 5000;
    Start(kTimeoutMs, {"pause=" + std::to_string(kPauseMs)});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0, Transact("beat"));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    const auto lastBeat = Clock::now();
    ASSERT_TRUE(WaitForLog("Prozess KILL", 1, kTimeoutMs + 3000));
    const auto restarted = Clock::now();
    while (Clock::now() < restarted + std::chrono::milliseconds(kPauseMs + kTimeoutMs - 1500)) {
        const ProcessResult r = Status();
        EXPECT_EQ(0, r.exitCode)
            << std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - lastBeat).count()
            << " s after the last heartbeat:\n"
            << r.out;
        if (r.exitCode != 0) break;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

}  // namespace
