// The shipped executables end to end: the controller's console run ("-debug") with a real
// Ctrl+C, qvlping against it and without it, and the sample job starter's heartbeats.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/protected_settings.h"
#include "config/settings_cipher.h"
#include "platform/platform.h"
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
        if (!IsSkipped()) EndAllJobStarters();
    }
    TempDir dir_;
    std::string exe_;
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
    EXPECT_TRUE(
        std::regex_search(console, std::regex("QVLJOBCTL\\.EXE Read -> \\[JOBSTARTER \\d+\\]")))
        << console;
    if (ExecutableFileName("x") == "x") {
        // SIGPIPE (13) is ignored: a log that is a FIFO whose reader went away cannot end it.
        const std::string status =
            ReadFileBytes("/proc/" + std::to_string(ChildProcessId(controller)) + "/status");
        const std::size_t at = status.find("SigIgn:\t");
        ASSERT_NE(std::string::npos, at);
        const unsigned long long ignored = std::stoull(status.substr(at + 8, 16), nullptr, 16);
        EXPECT_TRUE(ignored & (1ull << (13 - 1))) << status.substr(at, 24);
    }
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

TEST_F(DebugRun, StartupFailureGivesANonZeroExitStatus) {
    WriteFileBytes(dir_ / "QUARVELIN.INI", SettingsFileFor("SQLSERVER"));
    EXPECT_EQ(12, RunProcess({exe_, "-debug"}).exitCode);
    std::remove((dir_ / "QUARVELIN.INI").c_str());
    EXPECT_EQ(11, RunProcess({exe_, "/DEBUG"}).exitCode);
}

}  // namespace
