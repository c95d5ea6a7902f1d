// Another account against the controller, end to end on Linux as root: the user nobody
// (65534) and a third account (1001) plant a state file, a link at the log's name and names
// beside the state file, take the pipe's name first, and call the pipe. The controller ends
// nothing of theirs, writes nothing where they point it, counts no heartbeat of theirs and
// lets none of them hold its cycle. The account decisions themselves are table rows that the
// Windows build runs too.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/pipe_client.h"
#include "platform/processes.h"
#include "supervision/heartbeat_protocol.h"
#include "supervision/run_state.h"
#include "support/controller_run.h"
#include "support/installation.h"
#include "support/process_watch.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

bool Linux() {
    return ExecutableFileName("x") == "x";
}

#define SKIP_UNLESS_ROOT_ON_LINUX()                                                  \
    do {                                                                             \
        if (!Linux() || !IsRoot()) GTEST_SKIP() << "other accounts: Linux, as root"; \
    } while (0)

std::vector<std::string> AsUser(const std::string& uid, const std::vector<std::string>& argv) {
    if (uid == "0") return argv;
    std::vector<std::string> all = {"/usr/bin/setpriv", "--reuid=" + uid, "--regid=" + uid,
                                    "--clear-groups"};
    all.insert(all.end(), argv.begin(), argv.end());
    return all;
}

// The creation time the controller records: /proc/PID/stat's start time, which every
// account may read. "" until the process has begun.
std::string CreatedOf(std::uint32_t pid) {
    ProcessFacts facts;
    return PlatformProcessFacts(pid, &facts) ? std::to_string(facts.created) : "";
}

// A `sleep` of account `uid`, once it runs as such; with `instance`, named as that
// instance's job starter (its first word "QVLJOBSTR_ORACLE.EXE", its first argument the
// instance number), as any account may name a process.
ChildProcess* StartVictim(const std::string& uid, const std::string& instance = "") {
    ChildProcess* victim = StartProcess(AsUser(
        uid, instance.empty() ? std::vector<std::string>{"/bin/sleep", "1000"}
                              : std::vector<std::string>{
                                    "/bin/bash", "-c",
                                    "exec -a QVLJOBSTR_ORACLE.EXE sleep " + instance + " 1000"}));
    const std::uint32_t pid = ChildProcessId(victim);
    for (int i = 0; i < 200; ++i) {
        ProcessFacts facts;
        if (PlatformProcessFacts(pid, &facts) && facts.account == uid &&
            facts.executablePath == "/usr/bin/sleep" &&
            (instance.empty() || facts.words[0] == "QVLJOBSTR_ORACLE.EXE"))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return victim;
}

class OtherAccount : public ControllerRun {
protected:
    void SetUp() override {
        ControllerRun::SetUp();
        if (IsSkipped()) return;
        RunProcess({"/bin/chmod", "1777", dir_.path()});
    }
    std::string StateFile() const { return dir_ / ("QVLJOBCTL" + instance_ + ".STATE"); }
    // Starts the controller with its console output in console.txt.
    ChildProcess* StartWithConsole(int heartbeatMs, const std::vector<std::string>& times = {}) {
        std::vector<std::string> argv = {exe_, std::to_string(heartbeatMs), serviceName_,
                                         dir_ / "stop.now"};
        argv.insert(argv.end(), times.begin(), times.end());
        return StartProcessWithOutput(argv, dir_ / "console.txt");
    }
    std::string Console() const { return ReadFileBytes(dir_ / "console.txt"); }
    int Count(const std::string& text) const {
        int n = 0;
        for (const std::string& t : LogTexts(dir_ / "QVLJOBCTL.LOG"))
            n += t.find(text) != std::string::npos ? 1 : 0;
        return n;
    }
};

// A state file that nobody wrote in the shared log folder, naming a process of a third account
// or of root as the job starter (with its true creation time), for the un-numbered controller
// and a numbered one; and one that root wrote, naming a third account's process. Each run ends
// no victim, and says once what it refused. (Before: every victim was ended, by KILL or by the
// controller's own hand.)
TEST_F(OtherAccount, APlantedStateFileEndsNothing) {
    SKIP_UNLESS_ROOT_ON_LINUX();
    struct Row {
        const char* what;
        bool numbered;
        const char* fileOwner;
        const char* victimAccount;
        const char* logged;
    };
    const char* refused = "The previous state file is not believed: ";
    const char* spared = "nicht beendet: ein Prozess eines anderen Kontos.";
    const char* notTaken = "No job starter was taken over: process ";
    const Row rows[] = {
        {"nobody's file, 1001's process, numbered", true, "65534", "1001", refused},
        {"nobody's file, root's process, numbered", true, "65534", "0", refused},
        {"nobody's file, 1001's process, un-numbered", false, "65534", "1001", refused},
        {"nobody's file, root's process, un-numbered", false, "65534", "0", refused},
        {"root's file, 1001's process, numbered", true, "0", "1001", spared},
        // With QVLADOPT=1, 1001's process named as this instance's job starter is not taken
        // over ("... runs under another account"), nor ended.
        {"root's file, 1001's job starter, taken over?", true, "0", "1001", notTaken},
    };
    const std::string numberedName = serviceName_, numberedPipe = pipeName_;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        serviceName_ = r.numbered ? numberedName : "qvljobctl";
        pipeName_ = r.numbered ? numberedPipe : "\\\\.\\pipe\\qvljobctl";
        const std::string state = dir_ / (r.numbered ? "QVLJOBCTL" + instance_ + ".STATE"
                                                     : std::string("QVLJOBCTL.STATE"));
        std::remove((dir_ / "QVLJOBCTL.LOG").c_str());
        const bool adopt = std::string(r.logged) == notTaken;
        WriteFileBytes(dir_ / "QVLJOBCTL.INI",
                       std::string("[JOBATR]\r\nQVLADOPT=") + (adopt ? "1" : "0") + "\r\n");
        ChildProcess* victim = StartVictim(r.victimAccount, adopt ? instance_ : "");
        const std::uint32_t pid = ChildProcessId(victim);
        WriteFileBytes(state, "controller_pid=999\njob_starter_pid=" + std::to_string(pid) +
                                  "\njob_starter_created=" + CreatedOf(pid) +
                                  "\njob_starter=QVLJOBSTR_ORACLE.EXE " + instance_ + " \n");
        ASSERT_EQ(0, RunProcess({"/bin/chown", r.fileOwner, state}).exitCode);
        Start(60000, {"pause=200"});
        WaitForLines(dir_ / "starts.txt", 1);
        EXPECT_EQ(0, Stop());
        EXPECT_TRUE(ProcessRuns(pid)) << Log();
        EXPECT_EQ(1, Count(r.logged)) << Log();
        if (adopt) {
            EXPECT_EQ(1, Count("runs under another account")) << Log();
        }
        TerminateChild(victim);
        WaitProcess(victim);
        EndJobStarters();
    }
}

// Another account takes the pipe's name before the controller starts and answers its clients:
// the controller names the process and its account and ends; -status does not call the pipe
// served; qvlping refuses the server. (Before: "Is another controller of this instance
// running?", "pipe: ... is served", and the squatter's reply printed.)
TEST_F(OtherAccount, APipeNameTakenFirstIsNamedAndRefused) {
    SKIP_UNLESS_ROOT_ON_LINUX();
    const std::string helper = BuiltExecutable("other_account_client");
    ChildProcess* squatter = StartProcessWithOutput(
        AsUser("65534", {helper, "squat", pipeName_, "60"}), dir_ / "squatter.txt");
    for (int i = 0; i < 200 && ReadFileBytes(dir_ / "squatter.txt").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ("squatting\n", ReadFileBytes(dir_ / "squatter.txt"));
    const std::string holder =
        "is held by process " + std::to_string(ChildProcessId(squatter)) +
        " (other_account_client) of account 65534, which does not run this installation's "
        "controller";
    ChildProcess* controller = StartWithConsole(60000);
    EXPECT_EQ(1, WaitProcess(controller));
    EXPECT_NE(std::string::npos, Console().find(holder)) << Console();
    EXPECT_NE(std::string::npos, Log().find(holder)) << Log();
    const ProcessResult status = Status();
    EXPECT_EQ(1, status.exitCode) << status.out;
    EXPECT_NE(std::string::npos, status.out.find("pipe:        " + pipeName_ + " " + holder))
        << status.out;
    const ProcessResult ping = RunProcess({BuiltExecutable("qvlping"), "--instance", instance_});
    EXPECT_EQ(1, ping.exitCode) << ping.out;
    EXPECT_NE(std::string::npos,
              ping.err.find("refused the server of " + pipeName_ + ": process " +
                            std::to_string(ChildProcessId(squatter)) + " of account 65534"))
        << ping.err;
    EXPECT_EQ("", ping.out) << "nothing of the squatter's printed";
    TerminateChild(squatter);
    WaitProcess(squatter);
}

// Sixteen clients of nobody that connect and never write, for 20 s, beside a job starter that
// heartbeats every 2 s with a time-out of 6 s: no restart. (Before: one every 6 s.)
TEST_F(OtherAccount, NoOtherAccountHoldsTheCycle) {
    SKIP_UNLESS_ROOT_ON_LINUX();
    constexpr int kSeconds = 20;
    ASSERT_TRUE(CopyFileTo(BuiltExecutable("qvljobstr_sample"), dir_ / "QVLJOBSTR_ORACLE.EXE"));
    SetEnvironment("QVLJOBSTR_EVERY", "2");
    Start(6000, {"pause=200"});
    SetEnvironment("QVLJOBSTR_EVERY", "");
    const ProcessResult held =
        RunProcess(AsUser("65534", {BuiltExecutable("other_account_client"), "hold", "16",
                                    pipeName_, std::to_string(kSeconds)}));
    EXPECT_EQ(0, held.exitCode) << held.err;
    EXPECT_EQ(1, Count("Prozess QVLJOBSTR_ORACLE.EXE " + instance_)) << Log();
    EXPECT_EQ(0, Count("antwortet nicht")) << Log();
    std::printf("16 clients of nobody for %d s: %s, job starter restarts: %d\n", kSeconds,
                held.out.substr(0, held.out.find('\n')).c_str(), Count("antwortet nicht"));
    EXPECT_EQ(0, Stop());
    RunProcess({BuiltExecutable("KILL"), "QVLJOBSTR_ORACLE.EXE", instance_});
}

// Nobody's heartbeats every second to a job starter that has gone silent, with a time-out of
// 3 s: restarted on time, as without them, and nobody's clients are served all the same.
// (Before: never restarted.)
TEST_F(OtherAccount, AnotherAccountsHeartbeatsKeepNoSilentJobStarter) {
    SKIP_UNLESS_ROOT_ON_LINUX();
    constexpr int kSeconds = 10;
    Start(3000, {"pause=200"});
    const ProcessResult beats =
        RunProcess(AsUser("65534", {BuiltExecutable("other_account_client"), "beat", pipeName_,
                                    "1000", std::to_string(kSeconds)}));
    const int restarts = Count("antwortet nicht");
    std::printf("nobody's heartbeats every 1 s for %d s: %s, restarts for silence: %d\n", kSeconds,
                beats.out.substr(0, beats.out.find('\n')).c_str(), restarts);
    EXPECT_GE(restarts, 2) << Log();
    EXPECT_GE(std::atoi(beats.out.c_str()), kSeconds / 2) << "served: " << beats.out;
}

// A link at the log's name, placed by nobody in a log folder of mode 0777 or 1777, to a file
// only root may read: nothing is written to the target, and the console says why the run has
// no log. (Before: root's controller appended its banner to the target.)
TEST_F(OtherAccount, ALinkAtTheLogsNameIsNeverFollowed) {
    SKIP_UNLESS_ROOT_ON_LINUX();
    TempDir secretDir;
    const std::string secret = secretDir / "secret";
    WriteFileBytes(secret, "root only\n");
    ASSERT_EQ(0, RunProcess({"/bin/chmod", "600", secret}).exitCode);
    for (const char* mode : {"0777", "1777"}) {
        SCOPED_TRACE(mode);
        RunProcess({"/bin/chmod", mode, dir_.path()});
        std::remove((dir_ / "QVLJOBCTL.LOG").c_str());
        ASSERT_EQ(0, RunProcess(AsUser("65534", {"/bin/ln", "-s", secret, dir_ / "QVLJOBCTL.LOG"}))
                         .exitCode);
        ChildProcess* controller = StartWithConsole(60000);
        for (int i = 0; i < 500 && Console().find("link") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        RequestStop(controller, dir_ / "stop.now");
        EXPECT_EQ(0, WaitProcess(controller));
        EXPECT_EQ("root only\n", ReadFileBytes(secret));
        EXPECT_NE(std::string::npos,
                  Console().find("cannot be written: it is a link, which the controller never "
                                 "follows"))
            << Console();
        EndJobStarters();
    }
}

// Nobody makes, in the shared log folder, every name the state file's writer once took in
// turn ("<file>.<process id>.<count>.tmp", 3000 of them) while the controller runs: its state
// is still written at every refresh, and -status finds it healthy. (Before: every write failed
// with "File exists", and 40 s later -status said "controller not responding".)
TEST_F(OtherAccount, ForeseenTemporaryNamesDoNotStopTheStateFile) {
    SKIP_UNLESS_ROOT_ON_LINUX();
    Start(60000, {"refresh=300"});
    const std::string prefix = StateFile() + "." + std::to_string(ChildProcessId(child_)) + ".";
    const std::string script = "seq -f '" + prefix + "%g.tmp' 1 3000 | xargs mkdir";
    ASSERT_EQ(0, RunProcess(AsUser("65534", {"/bin/sh", "-c", script})).exitCode);
    ASSERT_TRUE(FileExists(prefix + "3000.tmp"));
    const auto refreshed = [this] {
        RunState state;
        return ReadRunState(StateFile(), "", &state) ? state.refreshed : 0;
    };
    const std::int64_t before = refreshed();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_GT(refreshed(), before) << "written since";
    const ProcessResult status = Status();
    EXPECT_EQ(0, status.exitCode) << status.out;
    EXPECT_EQ(std::string::npos, Log().find("cannot be written")) << Log();
}

// The account decisions, as rows: which server a client accepts, which client is a
// heartbeat, and whose state file (or pipe) is believed to be the controller's.
TEST(AccountDecisions, WhoIsBelieved) {
    std::string admin;
    for (const char* candidate : {"0", "S-1-5-18"})
        if (PlatformIsAdministrator(candidate)) admin = candidate;
    ASSERT_NE("", admin);
    const std::string own = PlatformOwnAccount();
    const std::string other = Linux() ? "65534" : "S-1-5-21-1-2-3-1001";
    ASSERT_NE(own, other);
    struct Row {
        std::string account;
        bool serverAccepted, heartbeat, controllersFile;
    };
    const Row rows[] = {
        {own, true, true, true},
        {admin, true, admin == own, true},
        {other, false, false, false},
        {"", false, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("account '" + r.account + "'");
        EXPECT_EQ(r.serverAccepted, ServerAccepted(r.account, own));
        EXPECT_EQ(r.heartbeat, CountsAsHeartbeat(r.account, own));
        EXPECT_EQ(r.controllersFile, MayRunTheController(r.account, ""));
    }
    // The account the service manager runs the instance as (by its name) writes it too.
    if (Linux()) {
        EXPECT_TRUE(MayRunTheController(other, "nobody"));
    }
}

}  // namespace
