// -status from outside a running controller: a hostile state file is unreadable, never a
// hang; the state file's temporary name follows nothing; every user gets the same answer;
// and a restarted job starter is judged by its own heartbeats.
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

class StatusCommand : public ControllerRun {
protected:
    std::string StateFile() const { return dir_ / ("QVLJOBCTL" + instance_ + ".STATE"); }
    static bool Linux() { return ExecutableFileName("x") == "x"; }
};

std::string HealthLine(const std::string& out) {
    const std::size_t at = out.find("  health:");
    return at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
}

// Whatever lies at the state file's name, -status returns at once, calls it unreadable and
// shows nothing a link there points to.
TEST_F(StatusCommand, AHostileStateFileIsUnreadableNeverAHang) {
    struct Case {
        const char* what;
        bool linuxOnly;
        std::string content;  // "": made by a command instead
        std::vector<std::string> make;
    };
    // A file only root may read, which a link at the state file's name points to: nothing of
    // it is shown.
    TempDir secretDir;
    const std::string secret = secretDir / "secret";
    WriteFileBytes(secret, "controller_pid=1\nrestarts=TOPSECRET-LINE\n");
    if (Linux()) RunProcess({"/bin/chmod", "600", secret});
    const Case cases[] = {
        {"/dev/zero", true, "", {"/bin/ln", "-s", "/dev/zero", StateFile()}},
        {"a link to a secret", true, "", {"/bin/ln", "-s", secret, StateFile()}},
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
        EXPECT_EQ(std::string::npos, r.out.find("TOPSECRET")) << r.out;
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

// Another user (the user nobody) gets the answer root gets about root's controller, also
// when the job starter is a script only root may read (it holds a password): nothing the
// answer depends on needs rights that only some accounts have.
TEST_F(StatusCommand, EveryUserGetsTheSameAnswer) {
    if (!Linux() || !IsRoot()) GTEST_SKIP() << "another user: Linux, as root";
    RunProcess({"/bin/chmod", "755", dir_.path()});
    for (const bool secretScript : {false, true}) {
        SCOPED_TRACE(secretScript ? "a job starter script of mode 0700" : "a job starter");
        if (secretScript) {
            WriteFileBytes(dir_ / "QVLJOBSTR_ORACLE.EXE",
                           "#!/bin/sh\n# password=secret\necho \"$$ $*\" >>starts.txt\n"
                           "while :; do sleep 1; done\n");
            ASSERT_EQ(0, RunProcess({"/bin/chmod", "700", dir_ / "QVLJOBSTR_ORACLE.EXE"}).exitCode);
        }
        Start();
        WaitForLines(dir_ / "starts.txt", secretScript ? 2 : 1);
        const ProcessResult root = Status();
        const ProcessResult nobody =
            RunProcess(AsNobody({dir_ / "qvlstatus", "-status", instance_}));
        EXPECT_EQ(0, root.exitCode) << root.out;
        EXPECT_EQ(root.exitCode, nobody.exitCode) << nobody.out;
        EXPECT_EQ(HealthLine(root.out), HealthLine(nobody.out));
        EXPECT_NE(std::string::npos, nobody.out.find("still the process the controller started"))
            << nobody.out;
        EXPECT_EQ(0, Stop());
        EndJobStarters();
    }
}

// In a log folder every account may write to, another account runs a controller of its own
// as this instance (its pipe name is anyone's to take) and forges the state file: naming its
// own processes, with escape sequences in it. -status believes no state file that such an
// account owns, so it never says healthy, and no control character reaches the terminal.
TEST_F(StatusCommand, AForgedStateFileIsNotBelieved) {
    if (!Linux() || !IsRoot()) GTEST_SKIP() << "another account: Linux, as root";
    RunProcess({"/bin/chmod", "1777", dir_.path()});
    ChildProcess* foreign =
        StartProcess(AsNobody({exe_, "60000", serviceName_, dir_ / "foreign.stop"}));
    ASSERT_NE(nullptr, foreign);
    for (int i = 0; i < 250 && !FileExists(StateFile()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    WaitForLines(dir_ / "starts.txt", 1);
    std::string forged = ReadFileBytes(StateFile());
    forged.replace(forged.find("service="), 8, "service=\x1b]0;owned\x07\x1b[2J");
    forged.replace(forged.find("job_starter="), 12, "job_starter=\x1b[31m");
    WriteFileBytes(StateFile() + ".forged", forged);
    ASSERT_EQ(0, RunProcess({"/bin/chown", "nobody", StateFile() + ".forged"}).exitCode);
    ASSERT_EQ(0, RunProcess({"/bin/mv", StateFile() + ".forged", StateFile()}).exitCode);
    const ProcessResult r = Status();
    EXPECT_NE(0, r.exitCode) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("health:      healthy")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find('\x1b')) << "a raw escape reached the terminal";
    EXPECT_NE(std::string::npos, r.out.find("it belongs to account ")) << r.out;
    TerminateChild(foreign);
    WaitProcess(foreign);
}

// After a restart for silence the state file names the new job starter and when it started,
// from which its own time-out counts (the judgement's table in health_test holds the rest).
TEST_F(StatusCommand, ARestartedJobStarterHasItsOwnTimeOut) {
    Start(1000, {"pause=200"});
    EXPECT_EQ(0, Transact("beat"));
    ASSERT_TRUE(WaitForLog("antwortet nicht", 1, 5000));
    const std::string starts = WaitForLines(dir_ / "starts.txt", 2);
    const std::string second = starts.substr(starts.find('\n') + 1);
    const std::string state = ReadFileBytes(StateFile());
    const auto value = [&state](const std::string& key) {
        const std::size_t at = state.find("\n" + key + "=");
        return at == std::string::npos ? -1LL : std::stoll(state.substr(at + key.size() + 2));
    };
    EXPECT_EQ(std::stoll(second), value("job_starter_pid")) << state;
    EXPECT_GE(value("job_starter_started"), value("last_heartbeat")) << state;
    EXPECT_EQ(1, value("restarts_silence")) << state;
    const ProcessResult r = Status();
    EXPECT_EQ(0, r.exitCode) << r.out;
}

// A controller stopped by SIGSTOP keeps its process and its pipe, and its file keeps saying
// that the job starter heartbeated: -status names the controller, since its refreshes stop.
TEST_F(StatusCommand, AFrozenControllerIsNamedNotItsJobStarter) {
    if (!Linux()) GTEST_SKIP() << "SIGSTOP: Linux";
    Start(60000);
    EXPECT_EQ(0, Transact("beat"));
    const std::string pid = std::to_string(ChildProcessId(child_));
    ASSERT_EQ(0, RunProcess({"/bin/kill", "-STOP", pid}).exitCode);
    ProcessResult r;
    for (int i = 0; i < 50 && r.out.find("not responding") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        r = Status();
    }
    RunProcess({"/bin/kill", "-CONT", pid});
    EXPECT_EQ(1, r.exitCode) << r.out;
    EXPECT_NE(
        std::string::npos,
        HealthLine(r.out).find("unhealthy: controller not responding: its state was last written "))
        << r.out;
    EXPECT_EQ(0, Stop());
}

// -check finds what would keep an instance from starting or from its work, one line each,
// and changes nothing: each case mars a sound installation in one way.
TEST_F(StatusCommand, CheckNamesWhatKeepsAnInstanceFromStarting) {
    Status();  // lays the real controller beside the stand-in, as qvlstatus
    const std::string check = dir_ / ExecutableFileName("qvlstatus");
    const std::string kill = dir_ / ExecutableFileName("KILL");
    struct Case {
        const char* what;
        std::string aside;            // a file moved away for the case
        std::string ini;              // the INI written for the case
        const char* line;             // the one problem (or, "warning: ...", the one warning)
        const char* hangs = nullptr;  // Linux: how the report folder .\hangs is made first
    };
    const std::string reports = "[JOBATR]\r\nQVLDUMPDIR=.\\hangs\r\n";
    const char* refused =
        "problem: hang report folder .\\hangs would be refused at the first report: ";
    const Case cases[] = {
        {"a sound instance", "", "", nullptr},
        {"a missing settings file", dir_ / "QUARVELIN.INI", "",
         "problem: configuration: The settings file "},
        // The controller runs without KILL, ending the job starter itself (before: a problem,
        // "the instance cannot start", although it starts and does its work).
        {"a missing KILL", kill, "",
         "warning: KILL cannot be found beside the controller, in the current folder or on PATH; "
         "each restart ends the job starter by the controller's own hand"},
        {"a log folder that does not exist", "", "[JOBATR]\r\nQVLLOG=.\\gone\\QVLJOBCTL.LOG\r\n",
         "problem: log and state folder .\\gone\\ (in "},
        // The report folder as the controller would take it at the first hang (before: "ok"
        // for each, and the first report refused, its evidence lost).
        {"a report folder still to be made", "", reports, nullptr},
        {"a report folder everyone may write to", "", reports, refused, "mkdir -m 0777 hangs"},
        {"a link as the report folder", "", reports, refused, "mkdir h && ln -s h hangs"},
        {"another account's report folder", "", reports, refused,
         "mkdir -m 0700 hangs && chown 65534 hangs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.hangs && (!Linux() || !IsRoot())) continue;
        if (c.hangs) {
            const std::string make = "cd '" + dir_.path() + "' && " + c.hangs;
            ASSERT_EQ(0, RunProcess({"/bin/sh", "-c", make}).exitCode);
        }
        if (!c.aside.empty()) {
            ASSERT_EQ(0, std::rename(c.aside.c_str(), (c.aside + ".x").c_str()));
        }
        if (!c.ini.empty()) WriteFileBytes(dir_ / "QVLJOBCTL.INI", c.ini);
        const ProcessResult r = RunProcess({check, "-check", instance_});
        if (!c.aside.empty()) std::rename((c.aside + ".x").c_str(), c.aside.c_str());
        std::remove((dir_ / "QVLJOBCTL.INI").c_str());
        const bool warning = c.line && std::string(c.line).rfind("warning:", 0) == 0;
        EXPECT_EQ(c.line && !warning ? 1 : 0, r.exitCode) << r.out;
        const std::size_t problem = r.out.find("  problem: ");
        if (warning) {
            EXPECT_NE(std::string::npos, r.out.find(std::string("  ") + c.line)) << r.out;
            EXPECT_EQ(std::string::npos, problem) << r.out;
        } else if (c.line) {
            EXPECT_EQ(problem, r.out.find(std::string("  ") + c.line)) << r.out;
            EXPECT_EQ(std::string::npos, r.out.find("  problem: ", problem + 1)) << r.out;
        } else {
            EXPECT_EQ(std::string::npos, problem) << r.out;
            EXPECT_NE(std::string::npos, r.out.find("  verdict: the instance can start"));
        }
        EXPECT_FALSE(FileExists(dir_ / "QVLJOBCTL.LOG")) << "a check writes nothing";
        if (c.hangs) RunProcess({"/bin/rm", "-rf", dir_ / "hangs", dir_ / "h"});
    }
}

}  // namespace
