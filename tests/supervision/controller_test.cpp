// The controller run end to end: a console run (with a short heartbeat time-out) in a
// temporary installation directory, driven through its real pipe by real clients.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/protected_settings.h"
#include "config/settings_cipher.h"
#include "log/log_file.h"
#include "supervision/job_starter.h"
#include "support/controller_run.h"
#include "support/installation.h"
#include "support/process_watch.h"
#include "support/test_support.h"

namespace {

constexpr std::size_t kReply = 80;
const std::string kPrefix = "QVLJOBCTL.EXE Read -> [";

class Controller : public ControllerRun {};

// The reply's meaningful bytes: up to and including its zero, or all 80 without one.
std::string Meaningful(const std::string& reply) {
    const size_t zero = reply.find('\0');
    return zero == std::string::npos ? reply : reply.substr(0, zero + 1);
}

TEST_F(Controller, RepliesWithExactlyEightyBytes) {
    Start();
    struct Case {
        std::string message;
        std::string expected;
    };
    const std::string a55(55, 'a'), b56(56, 'b'), c57(57, 'c'), d80(80, 'd'), e100(100, 'e');
    const Case cases[] = {
        {std::string("PING", 5), kPrefix + "PING]" + std::string(1, '\0')},
        {a55 + '\0', kPrefix + a55 + "]" + std::string(1, '\0')},
        {b56 + '\0', kPrefix + b56 + "]"},
        {c57 + '\0', kPrefix + c57},
        {d80, kPrefix + d80.substr(0, 57)},
        {e100 + '\0', kPrefix + e100.substr(0, 57)},
    };
    for (const auto& c : cases) {
        std::string reply;
        ASSERT_EQ(0, Transact(c.message, &reply)) << c.message.size();
        EXPECT_EQ(kReply, reply.size()) << c.message.size();
        EXPECT_EQ(c.expected, Meaningful(reply)) << c.message.size();
    }
    // A shorter message after a longer one shows nothing of the longer one.
    std::string reply;
    ASSERT_EQ(0, Transact(std::string(60, 'z') + '\0', &reply));
    ASSERT_EQ(0, Transact(std::string("hi", 2), &reply));
    EXPECT_EQ(kPrefix + "hi]" + std::string(1, '\0'), Meaningful(reply));
}

TEST_F(Controller, ServesManyClientsAndSurvivesSilentOnes) {
    Start();
    const size_t linesBefore = LogTexts(dir_ / "QVLJOBCTL.LOG").size();
    {
        HeldConnection silent(pipeName_);
        ASSERT_TRUE(silent.connected());
    }  // closed without writing
    for (int i = 0; i < 200; ++i) {
        std::string reply;
        ASSERT_EQ(0, Transact("client " + std::to_string(i) + '\0', &reply)) << i;
        ASSERT_EQ(kPrefix + "client " + std::to_string(i) + "]", reply.substr(0, reply.find('\0')));
    }
    EXPECT_EQ(linesBefore, LogTexts(dir_ / "QVLJOBCTL.LOG").size())
        << "heartbeats and silent clients log nothing";
}

TEST_F(Controller, BannersFrameTheRunAndTheJobStarterGetsTheInstanceNumber) {
    Start();
    const std::string starts = WaitForLines(dir_ / "starts.txt", 1);
    EXPECT_NE(std::string::npos, starts.find(" " + instance_ + "\n")) << starts;
    EXPECT_EQ(0, Stop());
    const auto texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
    ASSERT_GE(texts.size(), 8u);
    EXPECT_EQ("****************************************", texts[0]);
    EXPECT_EQ("** Service QVLJOBCTL wurde gestartet  **", texts[1]);
    EXPECT_EQ("Servicename     : " + serviceName_, texts[2]);
    EXPECT_EQ("Pipename        : " + pipeName_, texts[3]);
    EXPECT_EQ("Database System : _ORACLE", texts[4]);
    EXPECT_TRUE(std::regex_match(texts[5], std::regex("Prozess QVLJOBSTR_ORACLE\\.EXE " +
                                                      instance_ + "   PID\\(\\d+\\) erstellt\\. ")))
        << texts[5];
    EXPECT_EQ("** Service QVLJOBCTL wurde beendet    **", texts[texts.size() - 2]);
    EXPECT_EQ("****************************************", texts.back());
    const std::uint32_t jobStarter = static_cast<std::uint32_t>(std::stoul(starts));
    EXPECT_TRUE(ProcessRuns(jobStarter)) << "the job starter is left running";
}

// A run is numbered only when its name is the base service name followed by a digit; the
// pipe and the job starter's argument then carry the same number. Every other name, a
// console run's program path or bare name among them, is un-numbered.
TEST_F(Controller, ThePipeAndTheJobStarterAlwaysAgreeOnTheInstance) {
    struct Case {
        std::string name, instance;
    };
    const Case cases[] = {{"QVLJOBCTL.EXE", ""},
                          {"qvljobctl", ""},
                          {"Z:\\QVL\\QVLJOBCTL.EXE", ""},
                          {"QUARVELIN_JOB_CONTROLLERA", ""},
                          {"QUARVELIN_JOB_CONTROLLER03", "3"},
                          {"QUARVELIN_JOB_CONTROLLER3a", "3"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        serviceName_ = c.name;
        pipeName_ = "\\\\.\\pipe\\qvljobctl" + c.instance;
        std::remove((dir_ / "starts.txt").c_str());
        Start();
        const std::string starts = WaitForLines(dir_ / "starts.txt", 1);
        EXPECT_EQ(0, Stop());
        const std::string args = starts.substr(starts.find_first_not_of("0123456789"));
        EXPECT_EQ(c.instance.empty() ? "\n" : " " + c.instance + "\n", args);
        EndJobStarters();
    }
}

// Each run of an instance ends what the run before left, and waits for it to be gone before
// starting its own, also when KILL is slower than the pause after it (Linux: a stand-in
// that sleeps first), and when the job starter is a program of the other width, whose
// arguments a 32-bit build cannot read of a 64-bit one (it finds it by the state file's
// record): one job starter of the instance runs at the end. (The 64-bit test build's other
// width is 32-bit, which only a Wine with its 32-bit loader runs; the case says so.)
TEST_F(Controller, RunsOfOneInstanceLeaveOneJobStarter) {
    const bool linux = ExecutableFileName("x") == "x";
    std::string whyNotWide;
    const std::string helper64 = OtherWidthJobStarter(&whyNotWide);
    if (!linux && helper64.empty())
        std::printf("the other width's case is left out: %s\n", whyNotWide.c_str());
    struct Case {
        const char* name;
        bool run;
        bool slowKill;
        bool wide;
    };
    const Case cases[] = {{"KILL", true, false, false},
                          {"KILL slower than the pause", linux, true, false},
                          {"a job starter of the other width", !helper64.empty(), false, true}};
    for (const Case& c : cases) {
        if (!c.run) continue;
        SCOPED_TRACE(c.name);
        if (c.slowKill) {
            WriteFileBytes(dir_ / "KILL",
                           "#!/bin/sh\nsleep 3\nexec " + BuiltExecutable("KILL") + " \"$@\"\n");
            ASSERT_EQ(0, RunProcess({"/bin/chmod", "+x", dir_ / "KILL"}).exitCode);
        }
        if (c.wide) {
            ASSERT_TRUE(CopyFileTo(helper64, dir_ / "QVLJOBSTR_ORACLE.EXE"));
        }
        std::remove((dir_ / "starts.txt").c_str());
        for (int run = 1; run <= 3; ++run) {
            Start();
            WaitForLines(dir_ / "starts.txt", run);
            EXPECT_EQ(0, Stop());
        }
        EXPECT_EQ(3u, StartedIds(dir_ / "starts.txt").size());
        EXPECT_EQ(1u, RunningJobStarters().size());
        EndJobStarters();
    }
}

TEST_F(Controller, ConfigurationFailureEndsTheRunBeforeThePipeExists) {
    WriteFileBytes(dir_ / "QUARVELIN.INI", SettingsFileFor("SQLSERVER"));
    Start(60000, {}, false);
    EXPECT_EQ(12, WaitProcess(child_));
    child_ = nullptr;
    const auto texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
    ASSERT_EQ(4u, texts.size());
    EXPECT_EQ("Error GetIniValues 12 ", texts[0]);
    EXPECT_NE(std::string::npos, texts[1].find("names the database system 'SQLSERVER'"))
        << texts[1];
    EXPECT_EQ("** Service QVLJOBCTL wurde beendet    **", texts[2]);
    EXPECT_FALSE(FileExists(dir_ / "starts.txt")) << "no job starter was started";
    std::string reply;
    EXPECT_EQ(1, Transact(std::string("x", 2), &reply, 200)) << "no pipe";
}

TEST_F(Controller, SilenceRestartsTheJobStarter) {
    Start(700);
    WaitForLines(dir_ / "starts.txt", 2, 15000);
    EXPECT_EQ(0, Stop());
    const auto texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
    size_t silent = 0;
    while (silent < texts.size() && texts[silent].find("antwortet nicht") == std::string::npos)
        ++silent;
    ASSERT_LT(silent, texts.size()) << "no time-out line";
    EXPECT_EQ("Prozess QVLJOBSTR_ORACLE.EXE antwortet nicht", texts[silent]);
    ASSERT_GE(silent, 2u);
    EXPECT_TRUE(std::regex_match(texts[silent - 2],
                                 std::regex("Prozess KILL \\d+@\\d+  PID\\(\\d+\\) erstellt\\. ")))
        << texts[silent - 2];
    EXPECT_TRUE(std::regex_match(texts[silent - 1],
                                 std::regex("Prozess QVLJOBSTR_ORACLE\\.EXE " + instance_ +
                                            "   PID\\(\\d+\\) erstellt\\. ")))
        << texts[silent - 1];
}

// A client that holds the cycle, connected and silent or writing and never reading its
// reply, is dropped after the client time limit with a line that says where it stopped, and
// the next client is served. Linux queues the 80-byte reply at once (a socket's buffer holds
// it), so there a client that never reads is simply served; Windows' pipe, which has no
// buffer, makes the reply wait for the client. A stop during the wait for a hung client ends
// the run at once, long before the client time limit would.
TEST_F(Controller, HungClientsAreDroppedAndAStopEndsTheirWaitAtOnce) {
    const bool replyWaits = ExecutableFileName("x") != "x";
    struct Case {
        bool writes;
        const char* line;  // the drop's line, or null when the client is served
    };
    const Case cases[] = {{false, "Verbindung ohne Nachricht getrennt"},
                          {true, replyWaits ? "Verbindung ohne Antwort getrennt" : nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.writes ? "writes, never reads" : "never writes");
        std::remove((dir_ / "QVLJOBCTL.LOG").c_str());
        Start(60000, {"1000"});
        {
            HeldConnection hung(pipeName_);
            ASSERT_TRUE(hung.connected());
            if (c.writes) {
                ASSERT_TRUE(hung.Send(std::string("deaf", 5)));
            }
            EXPECT_EQ(0, Transact(std::string("next", 5))) << "the cycle is held";
        }
        EXPECT_EQ(c.line != nullptr, WaitForLog(c.line ? c.line : "Verbindung ohne", 1, 0));
        EXPECT_EQ(0, Stop());
        Start(60000, {"30000"});
        HeldConnection hung(pipeName_);
        ASSERT_TRUE(hung.connected());
        if (c.writes) hung.Send(std::string("deaf", 5));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(0, Stop());
        // Far below the client's 30 s, with room for a loaded machine's process end.
        EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10));
        EndJobStarters();
    }
}

// Silent clients one after another, each dropped: none is a sign of life, so the silent job
// starter is restarted when its heartbeat time-out has passed, no later than without them.
TEST_F(Controller, DroppedClientsDoNotPostponeTheRestart) {
    std::chrono::steady_clock::duration took[2];
    for (const bool clients : {false, true}) {
        SCOPED_TRACE(clients ? "with hung clients" : "without");
        std::remove((dir_ / "starts.txt").c_str());
        Start(2500, {"300", "pause=200"});
        const auto begin = std::chrono::steady_clock::now();
        while (Starts() < 2 &&
               std::chrono::steady_clock::now() - begin < std::chrono::seconds(20)) {
            if (!clients) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            HeldConnection hung(pipeName_);
            std::this_thread::sleep_for(std::chrono::milliseconds(350));
        }
        took[clients] = std::chrono::steady_clock::now() - begin;
        EXPECT_EQ(0, Stop());
        EndJobStarters();
    }
    // Put off, it would come a time-out (2.5 s) late or never; a loaded machine's process
    // starts alone once made it 1.2 s late.
    EXPECT_LT(took[1], took[0] + std::chrono::seconds(2)) << "the hung clients put it off";
}

// One client holds the cycle and as many as can wait are queued: a client still keeps to
// its time-out instead of waiting for a place in the queue.
TEST_F(Controller, AClientKeepsToItsTimeOutWhileTheQueueIsFull) {
    Start();
    // Full once a connection fails twice, the second time after the controller had the
    // time to take the first client out of the queue.
    std::vector<std::unique_ptr<HeldConnection>> queue;
    for (int failures = 0; failures < 2 && queue.size() < 64;) {
        queue.push_back(std::make_unique<HeldConnection>(pipeName_));
        if (queue.back()->connected()) continue;
        ++failures;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    const auto begin = std::chrono::steady_clock::now();
    const ProcessResult r =
        RunProcess({BuiltExecutable("qvlping"), "--instance", instance_, "--timeout", "500"});
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(1, r.exitCode) << r.out << r.err;
    EXPECT_LT(took, std::chrono::seconds(3)) << "qvlping --timeout 500 waited for the queue";
}

TEST_F(Controller, StopSignalledFromAnotherThreadThroughoutTheRun) {
    // Without a job starter to start, each run is quick; the stops are what is tried here.
    std::remove((dir_ / "QVLJOBSTR_ORACLE.EXE").c_str());
    // Not RunProcess: the job starters it leaves behind keep any captured output open.
    EXPECT_EQ(0, WaitProcess(StartProcess({exe_, "--storm", "30", serviceName_})));
}

// Locks others hold on the log can delay a rotation, never an entry, a heartbeat, a restart
// or a stop: another account (Linux: the user nobody) holding every lock it can take on the
// log's folder and the log, and a process of the controller's own account holding the
// rotation lock itself. The log is past the rotation threshold, so every entry would rotate.
TEST_F(Controller, LocksOnTheLogHoldNothingUp) {
    const bool linuxRoot = ExecutableFileName("x") == "x" && IsRoot();
    const std::string log = dir_ / "QVLJOBCTL.LOG";
    for (const bool otherAccount : {true, false}) {
        SCOPED_TRACE(otherAccount ? "another account's locks" : "the rotation lock held");
        if (otherAccount && !linuxRoot) continue;  // another account: Linux, as root
        WriteFileBytes(log, std::string(kLogRotationBytes + 1, 'x'));
        std::vector<ChildProcess*> holders;
        if (otherAccount) {
            RunProcess({"/bin/chmod", "755", dir_.path()});
            for (const std::string& target : {dir_.path(), log})
                holders.push_back(
                    StartProcess(AsNobody({"/usr/bin/flock", "-s", target, "/bin/sleep", "60"})));
        } else {
            holders.push_back(StartProcess({BuiltExecutable("log_writer"), "--hold", log, "60"}));
            WaitForLines(log + ".held", 1);
        }
        Start(1500, {"pause=200"});
        EXPECT_EQ(0, Transact("beat")) << "a heartbeat";
        // The time-out, the pause and one wait for the lock, with room to spare.
        EXPECT_TRUE(WaitForLog("antwortet nicht", 1, 1500 + 200 + 2000 + 3000));
        if (otherAccount) {
            EXPECT_NE(
                0,
                RunProcess(AsNobody({"/usr/bin/flock", "-n", log + ".lock", "/bin/true"})).exitCode)
                << "the rotation's lock is for the log's writers only";
        }
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(0, Stop());
        // Far below the client's 30 s, with room for a loaded machine's process end.
        EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10));
        EXPECT_NE(std::string::npos, Log().find("  ** Service QVLJOBCTL wurde beendet    **\r\n"));
        for (ChildProcess* h : holders) {
            TerminateChild(h);
            WaitProcess(h);
        }
        EndJobStarters();
    }
}

// A job starter is its own whatever runs it: a script with an interpreter option, scripts
// started through env, and a link to a versioned file are each known as the process the
// controller started, ended at every restart, and one alone runs afterwards.
TEST_F(Controller, EveryKindOfJobStarterIsEndedAtItsRestart) {
    if (ExecutableFileName("x") != "x") GTEST_SKIP() << "scripts and links: Linux job starters";
    const std::string body = "echo \"$$ $*\" >>starts.txt\nwhile :; do sleep 1; done\n";
    struct Case {
        const char* name;
        std::string shebang;  // empty: a link to a copy of the stand-in
    };
    const Case cases[] = {{"sh -e", "#!/bin/sh -e\n"},
                          {"env", "#!/usr/bin/env sh\n"},
                          {"env -S", "#!/usr/bin/env -S sh -e\n"},
                          {"link", ""}};
    const std::string jobStarter = dir_ / "QVLJOBSTR_ORACLE.EXE";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(jobStarter.c_str());
        std::remove((dir_ / "QVLJOBCTL.LOG").c_str());
        std::remove((dir_ / "starts.txt").c_str());
        if (c.shebang.empty()) {
            ASSERT_TRUE(CopyFileTo(BuiltExecutable("fake_job_starter"), dir_ / "jobstarter-1.2"));
            ASSERT_EQ(0, RunProcess({"/bin/ln", "-s", "jobstarter-1.2", jobStarter}).exitCode);
        } else {
            WriteFileBytes(jobStarter, c.shebang + body);
            ASSERT_EQ(0, RunProcess({"/bin/chmod", "+x", jobStarter}).exitCode);
        }
        Start(1000, {"pause=200"});
        EXPECT_TRUE(WaitForLog("antwortet nicht", 3, 15000));
        WaitForLines(dir_ / "starts.txt", 4);        // the fourth has written its id: a second
        EXPECT_EQ(1u, RunningJobStarters().size());  // before the next restart
        EXPECT_EQ(0, Stop());
        EndJobStarters();
    }
}

// Without KILL a hung job starter is still ended, by the controller itself, before its
// successor starts: one job starter runs, and -status says that KILL cannot be found.
TEST_F(Controller, WithoutKillTheControllerEndsTheJobStarterItself) {
    std::remove((dir_ / ExecutableFileName("KILL")).c_str());
    Start(1000, {"pause=200"});
    EXPECT_TRUE(WaitForLog("antwortet nicht", 2, 15000));
    EXPECT_TRUE(WaitForLog("vom Controller beendet: KILL konnte nicht gestartet werden.", 2, 0))
        << Log();
    WaitForLines(dir_ / "starts.txt", 3);
    // Restarted every second: between an end and the next start there is none.
    EXPECT_LE(RunningJobStarters().size(), 1u) << "each one ended before the next";
    const ProcessResult status = Status();
    EXPECT_NE(std::string::npos, status.out.find("KILL cannot be found")) << status.out;
}

// With the descriptor limit at exactly the number the controller holds, the silent job
// starter is still ended through KILL, logged, and started again on time, and the log says
// why: the descriptors held back are let go for the restart and held again after its lines. A
// client queued meanwhile makes a listen fail: that is no heartbeat, and the run pauses before it
// listens again instead of spinning.
TEST_F(Controller, WithoutDescriptorsTheSilentJobStarterIsStillRestarted) {
    if (ExecutableFileName("x") != "x") GTEST_SKIP() << "prlimit: Linux";
    for (const bool queued : {false, true}) {
        SCOPED_TRACE(queued ? "a client queued" : "no client");
        std::remove((dir_ / "starts.txt").c_str());
        Start(2000, {"pause=200"});
        const std::string pid = std::to_string(ChildProcessId(child_));
        const std::string limits = ReadFileBytes("/proc/" + pid + "/limits");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(limits, m, std::regex("Max open files +(\\d+) +(\\d+)")));
        // The limit at the lowest descriptor number not held for good (the least of a few
        // samples, so that the start's heartbeat client, still being disconnected, is not
        // counted as held): no new descriptor can be had. A descriptor inherited far above
        // (a build tool's) takes no place below the limit, so entries are not counted.
        int open = 1 << 20;
        for (int sample = 0; sample < 20; ++sample) {
            std::vector<bool> held(1024, false);
            for (const auto& e : std::filesystem::directory_iterator("/proc/" + pid + "/fd")) {
                const int fd = std::stoi(e.path().filename().string());
                if (fd < static_cast<int>(held.size())) held[static_cast<std::size_t>(fd)] = true;
            }
            const int lowestFree =
                static_cast<int>(std::find(held.begin(), held.end(), false) - held.begin());
            open = std::min(open, lowestFree);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(0, RunProcess({"/usr/bin/prlimit", "--pid", pid,
                                 "--nofile=" + std::to_string(open) + ":" + m[2].str()})
                         .exitCode);
        if (queued) HeldConnection waiting(pipeName_);  // waits in the queue: its accept fails
        const auto begin = std::chrono::steady_clock::now();
        while (Starts() < 2 && std::chrono::steady_clock::now() - begin < std::chrono::seconds(10))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(2, Starts()) << "restarted while no descriptor was free";
        EXPECT_TRUE(WaitForLog("Prozess KILL", 1, 0)) << "KILL ran and was logged: " << Log();
        EXPECT_TRUE(WaitForLog("Prozess QVLJOBSTR_ORACLE.EXE antwortet nicht", 1, 2000))
            << "the restart says why: " << Log();
        RunProcess({"/usr/bin/prlimit", "--pid", pid, "--nofile=" + m[1].str() + ":" + m[2].str()});
        EXPECT_EQ(0, Transact("beat")) << "served again";
        EXPECT_EQ(0, Stop());
        EndJobStarters();
    }
}

// A closed terminal (SIGHUP) ends a console run as Ctrl+C does: the end banner, a clean exit,
// the state marked as ended and the metrics file gone. (Before: exit 129 and nothing of it.)
TEST_F(Controller, AClosedTerminalEndsTheRunAsCtrlCDoes) {
    if (ExecutableFileName("x") != "x") GTEST_SKIP() << "SIGHUP: Linux";
    ASSERT_TRUE(MakeDirectory(dir_ / "metrics"));
    WriteFileBytes(dir_ / "QVLJOBCTL.INI",
                   "[JOBATR]\r\nQVLMETRICSDIR=" + (dir_ / "metrics") + "\r\n");
    const std::string metrics = JoinPath(dir_ / "metrics", "qvljobctl" + instance_ + ".prom");
    Start();
    ASSERT_TRUE(FileExists(metrics));
    ASSERT_EQ(0,
              RunProcess({"/bin/kill", "-HUP", std::to_string(ChildProcessId(child_))}).exitCode);
    EXPECT_EQ(0, WaitProcess(child_));
    child_ = nullptr;
    const auto texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ("** Service QVLJOBCTL wurde beendet    **", texts[texts.size() - 2]);
    EXPECT_FALSE(FileExists(metrics));
    EXPECT_EQ(std::string::npos,
              ReadFileBytes(dir_ / ("QVLJOBCTL" + instance_ + ".STATE")).find("\nended=0\n"));
}

// Another account's processes named like this instance's job starter and started with its
// number (anyone may set the first word of a command line): the first job starter starts at
// once all the same (before: one KILL and its pause for each), and not one of them is ended.
// The last one carries another instance's number: never a target, so never said to be spared
// (before: "nicht beendet" of it too, as if it would have been ended).
TEST_F(Controller, AnotherAccountsDecoysNeitherDelayNorDie) {
    if (ExecutableFileName("x") != "x" || !IsRoot())
        GTEST_SKIP() << "another account: Linux, as root";
    constexpr int kDecoys = 10;
    std::vector<ChildProcess*> decoys;
    for (int i = 0; i <= kDecoys; ++i) {
        const std::string number = i < kDecoys ? instance_ : instance_ + "9";
        decoys.push_back(StartProcess(AsNobody(
            {"/bin/bash", "-c", "exec -a QVLJOBSTR_ORACLE.EXE sleep " + number + " 1000"})));
    }
    for (ChildProcess* d : decoys) {  // named so before the controller looks
        const std::string cmdline = "/proc/" + std::to_string(ChildProcessId(d)) + "/cmdline";
        for (int i = 0; i < 100 && ReadFileBytes(cmdline).rfind("QVLJOBSTR", 0) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto begin = std::chrono::steady_clock::now();
    Start(60000, {"pause=500"});
    WaitForLines(dir_ / "starts.txt", 1, 10000);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2000))
        << "the first start waited for the decoys";
    const std::uint32_t otherInstance = ChildProcessId(decoys.back());
    for (ChildProcess* d : decoys) {
        EXPECT_TRUE(ProcessRuns(ChildProcessId(d))) << "a decoy was ended";
        TerminateChild(d);
        WaitProcess(d);
    }
    EXPECT_TRUE(WaitForLog("nicht beendet: ein Prozess eines anderen Kontos.", kDecoys, 0))
        << Log();
    EXPECT_EQ(std::string::npos, Log().find("PID(" + std::to_string(otherInstance) + ")")) << Log();
}

// A job starter that is a wrapper script ending in "exec realjob": after the exec it is named
// otherwise, yet it is the process the controller recorded, by its id and creation time.
// Three runs leave one running, and -status finds it healthy while it heartbeats.
TEST_F(Controller, AnExecWrapperIsKnownByItsIdAndCreationTime) {
    if (ExecutableFileName("x") != "x") GTEST_SKIP() << "wrapper scripts: Linux";
    ASSERT_TRUE(CopyFileTo(BuiltExecutable("qvljobstr_sample"), dir_ / "realjob"));
    WriteFileBytes(dir_ / "QVLJOBSTR_ORACLE.EXE",
                   "#!/bin/sh\nexec " + (dir_ / "realjob") + " \"$@\"\n");
    ASSERT_EQ(0, RunProcess({"/bin/chmod", "+x", dir_ / "QVLJOBSTR_ORACLE.EXE"}).exitCode);
    SetEnvironment("QVLJOBSTR_EVERY", "1");
    for (int run = 1; run <= 3; ++run) {
        Start();
        ASSERT_TRUE(WaitForLog("erstellt", run, 10000));
        if (run < 3) {
            EXPECT_EQ(0, Stop());
        }
    }
    SetEnvironment("QVLJOBSTR_EVERY", "");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // its first heartbeat
    EXPECT_EQ(1u, ProcessesOf(dir_ / "realjob").size()) << "a run left its job starter";
    const ProcessResult status = Status();
    EXPECT_EQ(0, status.exitCode) << status.out;
    EXPECT_EQ(0, Stop());
    EndProcesses(ProcessesOf(dir_ / "realjob"));
}

// As the first process of a PID namespace (a container's entry point) the controller inherits
// every orphan there: the job starter's short-lived grandchildren and the KILL it starts
// through a middle process. None is left a zombie, and SIGTERM (what a container runtime
// sends) ends the run as Ctrl+C does.
TEST_F(Controller, AsTheFirstProcessOfANamespaceItLeavesNoZombies) {
    if (ExecutableFileName("x") != "x") GTEST_SKIP() << "PID namespaces: Linux";
    const std::vector<std::string> unshare = {"/usr/bin/unshare", "--pid", "--fork", "--mount-proc",
                                              "--kill-child"};
    std::vector<std::string> probe = unshare;
    probe.push_back("/bin/true");
    if (RunProcess(probe).exitCode != 0) GTEST_SKIP() << "no namespaces can be made here";
    WriteFileBytes(dir_ / "QVLJOBSTR_ORACLE.EXE",
                   "#!/bin/sh\necho \"$$ $*\" >>starts.txt\n"
                   "while :; do (sleep 0.02 &); sleep 0.05; done\n");
    ASSERT_EQ(0, RunProcess({"/bin/chmod", "+x", dir_ / "QVLJOBSTR_ORACLE.EXE"}).exitCode);
    std::vector<std::string> argv = unshare;
    for (const std::string& a :
         {exe_, std::string("1500"), serviceName_, dir_ / "stop.now", std::string("pause=200")})
        argv.push_back(a);
    child_ = StartProcess(argv);
    ASSERT_TRUE(WaitForLog("antwortet nicht", 1, 10000)) << Log();  // a KILL too
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    // The controller is the namespace's first process: the child of unshare.
    std::uint32_t controller = 0;
    for (const std::uint32_t pid : ProcessesOf(exe_))
        controller = pid;
    if (controller == 0) TerminateChild(child_);  // unshare ends it with itself
    ASSERT_NE(0u, controller);
    int zombies = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = ReadFileBytes(entry.path().string() + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size()) continue;
        std::istringstream fields(stat.substr(close + 2));
        char state = 0;
        std::uint32_t parent = 0;
        fields >> state >> parent;
        if (parent == controller && state == 'Z') ++zombies;
    }
    EXPECT_LE(zombies, 1) << "orphans left as zombies (one may be ending at this moment)";
    ASSERT_EQ(0, RunProcess({"/bin/kill", "-TERM", std::to_string(controller)}).exitCode);
    EXPECT_EQ(0, WaitProcess(child_)) << "SIGTERM ends the run cleanly";
    child_ = nullptr;
    EXPECT_TRUE(WaitForLog("** Service QVLJOBCTL wurde beendet    **", 1, 0)) << Log();
}

// A process of another PID namespace (a container's) is never the controller's: a second
// installation in PID and network namespaces of its own keeps its job starter when an
// un-numbered controller here ends the job starters of that name.
TEST_F(Controller, AnotherNamespacesJobStarterIsLeftAlone) {
    if (ExecutableFileName("x") != "x") GTEST_SKIP() << "PID namespaces: Linux";
    const std::vector<std::string> unshare = {"/usr/bin/unshare", "--pid",        "--net",
                                              "--fork",           "--mount-proc", "--kill-child"};
    std::vector<std::string> probe = unshare;
    probe.push_back("/bin/true");
    if (RunProcess(probe).exitCode != 0) GTEST_SKIP() << "no namespaces can be made here";
    TempDir other;
    std::vector<std::string> inner = unshare;
    for (const std::string& a :
         {LayOutInstallation(other.path(), "fake_job_starter", "test_controller"),
          std::string("60000"), std::string("qvljobctl"), other / "stop"})
        inner.push_back(a);
    ChildProcess* container = StartProcess(inner);
    ASSERT_NE(nullptr, container);
    WaitForLines(other / "starts.txt", 1);
    serviceName_ = "qvljobctl";  // un-numbered: it ends job starters by name
    pipeName_ = "\\\\.\\pipe\\qvljobctl";
    Start();
    WaitForLines(dir_ / "starts.txt", 1);
    // The container's job starter wrote the id it has in its own namespace: it is found by
    // its executable instead.
    EXPECT_EQ(1u, RunningJobStarters().size());
    EXPECT_EQ(1u, ProcessesOf(other / "QVLJOBSTR_ORACLE.EXE").size())
        << "the container's job starter was ended";
    EXPECT_EQ(0, Stop());
    TerminateChild(container);
    WaitProcess(container);
}

// QVLJOBOUT: the job starter's output in a file of its own, rotated as the log is, and never
// holding the job starter up. Rows: the sample job starter's replies land in the file; a file
// that cannot be opened drops the output and says so once, the job starter heartbeating on;
// (Linux) a job starter that writes fast has its file rotated to "_0001"; (Linux, as root) a
// file on a full file system holds its heartbeats up no more than a file with room.
TEST_F(Controller, TheJobStartersOutputIsKept) {
    const bool linux = ExecutableFileName("x") == "x";
    const std::string out = dir_ / "jobout.txt", rotated = dir_ / "jobout_0001.txt";
    struct Row {
        const char* what;
        bool run;
        std::string file;     // QVLJOBOUT
        const char* starter;  // "sample", or a script (Linux) writing fast
        const char* logged;   // a line the log must hold, or null
    };
    const Row rows[] = {
        {"the replies kept", true, out, "sample", nullptr},
        {"a file that cannot be opened", true, JoinPath(dir_ / "gone", "jobout.txt"), "sample",
         "The job starter's output is dropped: "},
        {"rotated past 5000000 bytes", linux, out,
         "#!/bin/sh\nwhile :; do head -c 200000 /dev/zero | tr '\\0' x; echo; sleep 0.01; done\n",
         nullptr},
        {"a full file system", linux && IsRoot(), JoinPath(dir_ / "full", "jobout.txt"), "sample",
         nullptr},
    };
    for (const Row& r : rows) {
        if (!r.run) continue;
        SCOPED_TRACE(r.what);
        std::remove((dir_ / "QVLJOBCTL.LOG").c_str());
        const bool full = r.file.find("full") != std::string::npos;
        if (full) {
            ASSERT_TRUE(MakeDirectory(dir_ / "full"));
            ASSERT_EQ(0, RunProcess({"/bin/mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs",
                                     dir_ / "full"})
                             .exitCode);
            RunProcess(
                {"/bin/sh", "-c", "cat /dev/zero > '" + JoinPath(dir_ / "full", "filler") + "'"});
        }
        const std::string job = dir_ / "QVLJOBSTR_ORACLE.EXE";
        if (std::string(r.starter) == "sample") {
            // The previous row's job starter may still be ending: its file is busy till then.
            bool copied = false;
            for (int i = 0;
                 i < 100 && !(copied = CopyFileTo(BuiltExecutable("qvljobstr_sample"), job)); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ASSERT_TRUE(copied);
        } else {
            WriteFileBytes(job + ".new", r.starter);  // moved over one that may still run
            ASSERT_EQ(0, RunProcess({"/bin/chmod", "+x", job + ".new"}).exitCode);
            ASSERT_EQ(0, std::rename((job + ".new").c_str(), job.c_str()));
        }
        WriteFileBytes(dir_ / "QVLJOBCTL.INI", "[JOBATR]\r\nQVLJOBOUT=" + r.file + "\r\n");
        SetEnvironment("QVLJOBSTR_EVERY", "1");
        Start(3000, {"pause=200", "refresh=300"});
        SetEnvironment("QVLJOBSTR_EVERY", "");
        if (std::string(r.starter) == "sample") {
            // Heartbeats every second for 5 s, a time-out of 3 s: never restarted.
            std::this_thread::sleep_for(std::chrono::seconds(5));
            EXPECT_FALSE(WaitForLog("antwortet nicht", 1, 0)) << Log();
        } else {
            for (int i = 0; i < 200 && !FileExists(rotated); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(0, Stop());
        EndJobStarters();
        RunProcess({BuiltExecutable("KILL"), "QVLJOBSTR_ORACLE.EXE", instance_});
        if (r.logged) {
            EXPECT_TRUE(WaitForLog(r.logged, 1, 0)) << Log();
            EXPECT_FALSE(WaitForLog(r.logged, 2, 0)) << "said once\n" << Log();
        } else if (full) {
            RunProcess({"/bin/umount", dir_ / "full"});
        } else if (std::string(r.starter) == "sample") {
            EXPECT_NE(std::string::npos,
                      ReadFileBytes(out).find("QVLJOBCTL.EXE Read -> [JOBSTARTER"))
                << ReadFileBytes(out);
        } else {
            std::error_code error;
            EXPECT_GE(std::filesystem::file_size(rotated, error), 5000000u);
            EXPECT_LT(std::filesystem::file_size(out, error),
                      std::filesystem::file_size(rotated, error));
        }
        std::remove(out.c_str());
        std::remove(rotated.c_str());
    }
}

}  // namespace
