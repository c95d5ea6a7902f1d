// The controller run end to end: a console run (with a short heartbeat time-out) in a
// temporary installation directory, driven through its real pipe by real clients.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/protected_settings.h"
#include "config/settings_cipher.h"
#include "platform/platform.h"
#include "supervision/job_starter.h"
#include "support/installation.h"
#include "support/process_watch.h"
#include "support/test_support.h"

namespace {

constexpr std::size_t kReply = 80;
const std::string kPrefix = "QVLJOBCTL.EXE Read -> [";

class Controller : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_UNLESS_ISOLATED();
        instance_ = "9" + std::to_string(PlatformCurrentProcessId() % 100000);
        serviceName_ = "QUARVELIN_JOB_CONTROLLER" + instance_;
        pipeName_ = "\\\\.\\pipe\\qvljobctl" + instance_;
        exe_ = LayOutInstallation(dir_.path(), "fake_job_starter", "test_controller");
        ASSERT_NE("", exe_);
    }
    void TearDown() override {
        if (IsSkipped()) return;
        if (child_) Stop();
        EndAllJobStarters();
    }
    // Starts the controller and waits until its pipe answers.
    void Start(int heartbeatMs = 60000, bool waitForPipe = true, int clientLimitMs = 10000) {
        child_ = StartProcess({exe_, std::to_string(heartbeatMs), serviceName_, dir_ / "stop.now",
                               std::to_string(clientLimitMs)});
        ASSERT_NE(nullptr, child_);
        if (!waitForPipe) return;
        for (int i = 0; i < 500; ++i) {
            std::string r;
            if (Transact(std::string("ready", 6), &r) == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        FAIL() << "the controller never answered";
    }
    int Stop() {
        RequestStop(child_, dir_ / "stop.now");
        const int code = WaitProcess(child_);
        child_ = nullptr;
        return code;
    }
    int Transact(const std::string& message, std::string* reply, std::uint32_t timeoutMs = 5000) {
        char buf[kReply + 20];
        std::size_t got = 0;
        const int rc = PlatformPipeTransact(pipeName_.c_str(), message.data(), message.size(), buf,
                                            sizeof buf, &got, timeoutMs);
        if (rc == 0) reply->assign(buf, got);
        return rc;
    }
    TempDir dir_;
    std::string instance_, serviceName_, pipeName_, exe_;
    ChildProcess* child_ = nullptr;
};

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
        EndAllJobStarters();
    }
}

// Each run of an instance ends what the run before left, and waits for it to be gone before
// starting its own, also when KILL is slower than the pause after it (Linux: a stand-in
// that sleeps first): one job starter of the instance runs at the end.
TEST_F(Controller, RunsOfOneInstanceLeaveOneJobStarter) {
    const bool slowKill[] = {false, true};
    for (const bool slow : slowKill) {
        if (slow && ExecutableFileName("x") != "x") continue;  // a stand-in script: Linux
        SCOPED_TRACE(slow ? "KILL slower than the pause" : "KILL");
        if (slow) {
            WriteFileBytes(dir_ / "KILL",
                           "#!/bin/sh\nsleep 3\nexec " + BuiltExecutable("KILL") + " \"$@\"\n");
            ASSERT_EQ(0, RunProcess({"/bin/chmod", "+x", dir_ / "KILL"}).exitCode);
        }
        for (int run = 1; run <= 3; ++run) {
            std::remove((dir_ / "starts.txt").c_str());
            Start();
            WaitForLines(dir_ / "starts.txt", 1);
            EXPECT_EQ(0, Stop());
        }
        EXPECT_EQ(1u, RunningJobStarters("QVLJOBSTR_ORACLE.EXE", std::stol(instance_)).size());
    }
}

TEST_F(Controller, ConfigurationFailureEndsTheRunBeforeThePipeExists) {
    WriteFileBytes(dir_ / "QUARVELIN.INI", SettingsFileFor("SQLSERVER"));
    Start(60000, false);
    EXPECT_EQ(12, WaitProcess(child_));
    child_ = nullptr;
    const auto texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ("Error GetIniValues 12 ", texts[0]);
    EXPECT_EQ("** Service QVLJOBCTL wurde beendet    **", texts[1]);
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
                                 std::regex("Prozess KILL \\d+  PID\\(\\d+\\) erstellt\\. ")))
        << texts[silent - 2];
    EXPECT_TRUE(std::regex_match(texts[silent - 1],
                                 std::regex("Prozess QVLJOBSTR_ORACLE\\.EXE " + instance_ +
                                            "   PID\\(\\d+\\) erstellt\\. ")))
        << texts[silent - 1];
}

// A client that holds the cycle, connected and silent or writing and never reading its
// reply, is dropped after the client time limit: the next client is served. A stop during
// that wait still ends the run.
TEST_F(Controller, HungClientsAreDroppedAndAStopStillEndsTheRun) {
    for (const bool writes : {false, true}) {
        SCOPED_TRACE(writes ? "writes, never reads" : "never writes");
        Start(60000, true, 1000);
        {
            HeldConnection hung(pipeName_);
            ASSERT_TRUE(hung.connected());
            if (writes) {
                ASSERT_TRUE(hung.Send(std::string("deaf", 5)));
            }
            std::string reply;
            EXPECT_EQ(0, Transact(std::string("next", 5), &reply, 5000)) << "the cycle is held";
        }
        HeldConnection hung(pipeName_);
        ASSERT_TRUE(hung.connected());
        if (writes) hung.Send(std::string("deaf", 5));
        EXPECT_EQ(0, Stop());
        EndAllJobStarters();
    }
    const auto texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
    EXPECT_NE(texts.end(),
              std::find(texts.begin(), texts.end(), "Verbindung ohne Nachricht getrennt"));
}

// Silent clients one after another, each dropped: none is a sign of life, so the silent job
// starter is restarted when its heartbeat time-out has passed, as without them.
TEST_F(Controller, DroppedClientsDoNotPostponeTheRestart) {
    Start(2500, true, 300);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const auto starts = [this] {
        const std::string text = ReadFileBytes(dir_ / "starts.txt");
        return std::count(text.begin(), text.end(), '\n');
    };
    while (starts() < 2) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no restart while clients hang";
        HeldConnection hung(pipeName_);
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
    }
    EXPECT_EQ(0, Stop());
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

}  // namespace
