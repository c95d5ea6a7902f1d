// The shipped executables end to end: the controller's console run ("-debug") with a real
// Ctrl+C, qvlping against it and without it, and the sample job starter's heartbeats.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/protected_settings.h"
#include "config/settings_cipher.h"
#include "support/installation.h"
#include "support/process_watch.h"
#include "support/test_support.h"

namespace {

const std::string kUnnumberedPipe = "\\\\.\\pipe\\qvljobctl";

ProcessResult Ping(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {BuiltExecutable("qvlping")};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv);
}

std::string Lines(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c != '\r') out += c;
    }
    return out;
}

TEST(Qvlping, ExitCodesWithoutAController) {
    auto r = Ping({"--instance", "no-such-instance-4711", "--timeout", "200"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("qvlping: no controller listening on " + kUnnumberedPipe + "no-such-instance-4711\n",
              Lines(r.err));
    EXPECT_EQ(0, Ping({"--help"}).exitCode);
    EXPECT_EQ(2, Ping({"--timeout", "soon"}).exitCode);
    // Time-outs that do not fit the 32-bit waits are refused, never wrapped to another.
    EXPECT_EQ(2, Ping({"--timeout", "4294967296"}).exitCode);
    EXPECT_EQ(2, Ping({"--timeout", "-1"}).exitCode);
    EXPECT_EQ(2, Ping({"a", "b"}).exitCode);
    EXPECT_EQ(2, Ping({"--bogus"}).exitCode);
}

class DebugRun : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_UNLESS_ISOLATED();
        exe_ = LayOutInstallation(dir_.path(), "qvljobstr_sample");
        ASSERT_NE("", exe_);
    }
    void TearDown() override {
        if (!IsSkipped()) EndProcesses(jobStarters_);
    }
    TempDir dir_;
    std::string exe_;
    std::vector<std::uint32_t> jobStarters_;  // by the ids they send in their heartbeats
};

TEST_F(DebugRun, ServesHeartbeatsAndEndsCleanlyOnCtrlC) {
    const std::string output = dir_ / "console.txt";
    ChildProcess* controller = StartProcessWithOutput({exe_, "-debug"}, output);
    ASSERT_NE(nullptr, controller);
    ProcessResult ping;
    for (int i = 0; i < 100; ++i) {
        ping = Ping({"--timeout", "2000"});
        if (ping.exitCode == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(0, ping.exitCode) << ping.err;
    EXPECT_EQ("QVLJOBCTL.EXE Read -> [PING]\n", Lines(ping.out));
    // The sample job starter, started by the controller, heartbeats at once.
    const std::string console = WaitForLines(output, 3);
    EXPECT_NE(std::string::npos, console.find("Debugging QUARVELIN JOB CONTROLLER.")) << console;
    std::smatch heartbeat;
    EXPECT_TRUE(std::regex_search(console, heartbeat,
                                  std::regex("QVLJOBCTL\\.EXE Read -> \\[JOBSTARTER (\\d+)\\]")))
        << console;
    if (!heartbeat.empty()) {
        jobStarters_.push_back(static_cast<std::uint32_t>(std::stoul(heartbeat[1].str())));
    }
    if (ExecutableFileName("x") == "x") {
        // SIGPIPE (13) is ignored: a log that is a FIFO whose reader went away cannot end it;
        // its job starter starts with every signal at its default all the same.
        const auto sigpipeIgnored = [](std::uint32_t pid) {
            const std::string status = ReadFileBytes("/proc/" + std::to_string(pid) + "/status");
            const std::size_t at = status.find("SigIgn:\t");
            return at != std::string::npos &&
                   (std::stoull(status.substr(at + 8, 16), nullptr, 16) & (1ull << (13 - 1)));
        };
        EXPECT_TRUE(sigpipeIgnored(ChildProcessId(controller)));
        ASSERT_EQ(1u, jobStarters_.size());
        EXPECT_FALSE(sigpipeIgnored(jobStarters_[0]));
    }
    const ProcessResult status = RunProcess({exe_, "-status"});
    EXPECT_EQ(0, status.exitCode) << status.out;
    EXPECT_NE(std::string::npos, Lines(status.out).find("  health:      healthy\n")) << status.out;
    if (!CanPressCtrlC()) {
        TerminateChild(controller);
        WaitProcess(controller);
        GTEST_SKIP() << "Ctrl+C cannot be pressed for another console program from inside Wine";
    }
    RequestStop(controller, "");
    EXPECT_EQ(0, WaitProcess(controller));
    EXPECT_NE(std::string::npos,
              ReadFileBytes(output).find("Stopping QUARVELIN JOB CONTROLLER.\n"));
    const std::string log = ReadFileBytes(dir_ / "QVLJOBCTL.LOG");
    EXPECT_NE(std::string::npos, log.find("Pipename        : " + kUnnumberedPipe + "\r\n"));
    const std::string tail = log.substr(log.size() - 2 * 63);
    EXPECT_NE(std::string::npos, tail.find("  ** Service QVLJOBCTL wurde beendet    **\r\n"));
    EXPECT_EQ("  ****************************************\r\n", tail.substr(tail.size() - 44));
}

// A controller whose log and state file cannot be written says so in its console, runs and
// serves all the same, and -status finds it by its pipe and says why it knows no more.
TEST_F(DebugRun, ABlindControllerSaysSo) {
    WriteFileBytes(dir_ / "QVLJOBCTL.INI", "[JOBATR]\r\nQVLLOG=.\\missing\\QVLJOBCTL.LOG\r\n");
    const std::string output = dir_ / "console.txt";
    ChildProcess* controller = StartProcessWithOutput({exe_, "-debug"}, output);
    ASSERT_NE(nullptr, controller);
    ProcessResult ping;
    for (int i = 0; i < 100 && ping.exitCode != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ping = Ping({"--timeout", "2000"});
    }
    EXPECT_EQ(0, ping.exitCode) << "it serves";
    const std::string console = Lines(WaitForLines(output, 3));
    EXPECT_TRUE(std::regex_search(console, std::regex("The state file .*QVLJOBCTL\\.STATE cannot "
                                                      "be written: .+\\(0x[0-9a-f]+\\)")))
        << console;
    EXPECT_TRUE(std::regex_search(
        console, std::regex("The log .*QVLJOBCTL\\.LOG cannot be written: .+\\(0x[0-9a-f]+\\)")))
        << console;
    const ProcessResult status = RunProcess({exe_, "-status"});
    EXPECT_EQ(1, status.exitCode) << status.out;
    EXPECT_NE(std::string::npos, status.out.find("running; state file not written: "))
        << status.out;
    TerminateChild(controller);
    WaitProcess(controller);
}

// Each start-up failure gives its result and, in a console run, a line that names the
// cause; a key the controller does not know gives a warning.
TEST_F(DebugRun, StartupFailuresExplainThemselves) {
    struct Case {
        const char* ini;
        std::string settings;  // empty: no settings file at all
        int exitCode;
        const char* said;
    };
    const std::string oracle = SettingsFileFor("Oracle");
    const Case cases[] = {
        {"QVLTIMEOUT=999", oracle, 10, "'999' of QVLTIMEOUT in section [JOBATR] of "},
        {"QVLTIMEOUT=86400001", oracle, 10, "not a whole number of milliseconds from 1000"},
        {"QVLTIMEOUT=abc", oracle, 10, "'abc' of QVLTIMEOUT"},
        {"QVLTIMEOUT=", oracle, 10, "The key QVLTIMEOUT in section [JOBATR] of "},
        {"QVLLOG=", oracle, 10, "The key QVLLOG in section [JOBATR] of "},
        {"QVLLOGG=x.log", SettingsFileFor("SQLSERVER"), 12,
         "names the database system 'SQLSERVER'; accepted are ORACLE, MSSQL, MYSQL."},
        {"QVLRESTARTONEXIT=2", oracle, 10, "'2' of QVLRESTARTONEXIT in section [JOBATR] of "},
        {"QVLRESTARTONEXIT=yes", oracle, 10, "is not 0 or 1."},
        {"", ";DB;\r\n0;DB_SYSTEM;0011223344556677\r\n", 12,
         "holds a DB_SYSTEM value that is not a value written by qvlcrypt; accepted are"},
        {"", ";DB;\r\n", 11, "QUARVELIN.INI holds no database system (no DB_SYSTEM record)."},
        {"", "", 11, "QUARVELIN.INI (QVLINI in section [JOBATR] of "},
    };
    for (const Case& c : cases) {
        WriteFileBytes(dir_ / "QVLJOBCTL.INI", std::string("[JOBATR]\r\n") + c.ini + "\r\n");
        std::remove((dir_ / "QUARVELIN.INI").c_str());
        if (!c.settings.empty()) WriteFileBytes(dir_ / "QUARVELIN.INI", c.settings);
        const ProcessResult r = RunProcess({exe_, "-debug"});
        EXPECT_EQ(c.exitCode, r.exitCode) << c.ini;
        EXPECT_NE(std::string::npos, Lines(r.out).find(c.said)) << c.ini << "\n" << r.out;
        const bool typo = std::string(c.ini).find("QVLLOGG") == 0;
        EXPECT_EQ(typo, Lines(r.out).find("has the key QVLLOGG in section [JOBATR], which the "
                                          "controller does not know.\n") != std::string::npos)
            << r.out;
    }
}

// -status sees a job starter that never heartbeats: the controller restarts it on time
// while -status is asked every second (asking is no heartbeat), and once its silence is
// certain -status calls it unhealthy by name. A second console run cannot take the pipe.
TEST_F(DebugRun, StatusSeesASilentJobStarterWithoutBeingAHeartbeat) {
    TempDir other;
    const std::string exe = LayOutInstallation(other.path(), "fake_job_starter");
    WriteFileBytes(other / "QVLJOBCTL.INI", "[JOBATR]\r\nQVLTIMEOUT=1000\r\n");
    ProcessResult status = RunProcess({exe, "-status"});
    EXPECT_EQ(3, status.exitCode) << status.out;
    EXPECT_NE(std::string::npos, Lines(status.out).find("  health:      not running\n"));
    EXPECT_EQ(2, RunProcess({exe, "-status", "03"}).exitCode);

    ChildProcess* controller = StartProcessWithOutput({exe, "-debug"}, other / "console.txt");
    ASSERT_NE(nullptr, controller);
    WaitForLines(other / "QVLJOBCTL.STATE", 17);
    const ProcessResult second = RunProcess({exe_, "-debug"});
    EXPECT_EQ(1, second.exitCode);
    EXPECT_NE(std::string::npos,
              Lines(second.out).find("The pipe " + kUnnumberedPipe + " could not be created: "))
        << second.out;
    for (int i = 0; i < 30; ++i) {
        status = RunProcess({exe, "-status"});
        if (status.exitCode != 0) break;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    EXPECT_EQ(1, status.exitCode) << status.out;
    EXPECT_NE(std::string::npos,
              Lines(status.out)
                  .find("  health:      unhealthy: the job starter QVLJOBSTR_ORACLE.EXE has not "
                        "heartbeated for "))
        << status.out;
    // Unhealthy once the second restart for silence has begun; its line follows its start.
    std::vector<std::string> log;
    for (int i = 0; i < 100 && std::count(log.begin(), log.end(),
                                          "Prozess QVLJOBSTR_ORACLE.EXE antwortet nicht") < 2;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        log = LogTexts(other / "QVLJOBCTL.LOG");
    }
    EXPECT_GE(std::count(log.begin(), log.end(), "Prozess QVLJOBSTR_ORACLE.EXE antwortet nicht"),
              2);
    if (CanPressCtrlC()) {
        RequestStop(controller, "");
    } else {
        TerminateChild(controller);
    }
    WaitProcess(controller);
    EXPECT_EQ(3, RunProcess({exe, "-status"}).exitCode);
}

}  // namespace
