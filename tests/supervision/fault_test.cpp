// Failures injected into the real, unchanged controller (the test controller with a short
// heartbeat time-out) through libfiu's POSIX preload: system calls that fail inside the run,
// at start-up (fiu-run) or while it serves (fiu-ctrl). Linux only.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe_client.h"
#include "supervision/heartbeat_protocol.h"
#include "support/installation.h"
#include "support/process_watch.h"
#include "support/test_support.h"

namespace {

const char kInstance[] = "7";
const std::string kPipe = std::string(kBasePipeName) + kInstance;

bool HasFiu() {
    return FileExists("/usr/bin/fiu-run") && FileExists("/usr/bin/fiu-ctrl");
}

// The descriptors the process holds for good: the fewest seen over a few samples, so that
// a client's connection being served at that moment is not counted, while a leaked one is.
int CountDescriptors(std::uint32_t pid) {
    int fewest = -1;
    for (int sample = 0; sample < 20; ++sample) {
        int n = 0;
        if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
            while (readdir(d))
                ++n;
            closedir(d);
        }
        if (fewest < 0 || n < fewest) fewest = n;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fewest;
}

class Fault : public ::testing::Test {
protected:
    void SetUp() override {
        if (ExecutableFileName("x") != "x") GTEST_SKIP() << "libfiu's preload is Linux's";
        if (!HasFiu()) GTEST_SKIP() << "libfiu (fiu-utils) is not installed";
        SKIP_UNLESS_ISOLATED();
        // A sanitizer's runtime must come first in the process: it refuses the preload.
        const ProcessResult probe =
            RunProcess({"/usr/bin/fiu-run", "-x", "-f", "", BuiltExecutable("test_controller")});
        if (probe.exitCode != 2) {
            GTEST_SKIP() << "this build refuses the preload (exit status " << probe.exitCode
                         << "): " << probe.err;
        }
        exe_ = LayOutInstallation(dir_.path(), "fake_job_starter", "test_controller");
        ASSERT_NE("", exe_);
    }
    void TearDown() override {
        if (IsSkipped()) return;
        if (child_) Stop();
        EndStarted(dir_ / "starts.txt");
    }
    // Starts the controller under fiu-run with the failure points of `enable` enabled from
    // the start; a heartbeat time-out of `heartbeatMs`.
    void Start(const std::vector<std::string>& enable, int heartbeatMs = 60000) {
        std::vector<std::string> argv = {"/usr/bin/fiu-run", "-x", "-f", dir_ / "fiu"};
        for (const auto& e : enable) {
            argv.push_back("-c");
            argv.push_back(e);
        }
        for (const std::string& a :
             {exe_, std::to_string(heartbeatMs),
              "QUARVELIN_JOB_CONTROLLER" + std::string(kInstance), dir_ / "stop.now"})
            argv.push_back(a);
        child_ = StartProcessWithOutput(argv, dir_ / "console.txt");
        ASSERT_NE(nullptr, child_);
    }
    bool Answers() {
        char reply[kReplyBytes];
        std::size_t got = 0;
        for (int i = 0; i < 100; ++i) {
            if (PlatformPipeTransact(kPipe.c_str(), "x", 2, reply, sizeof reply, &got, 2000) == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void Control(std::uint32_t pid, const std::string& command) {
        const ProcessResult r = RunProcess(
            {"/usr/bin/fiu-ctrl", "-f", dir_ / "fiu", "-c", command, std::to_string(pid)});
        ASSERT_EQ(0, r.exitCode) << r.err;
    }
    // Through the stop file the test controller watches, not SIGINT: libfiu's control thread
    // takes signals that the controller's own threads block, and would die of it.
    int Stop() {
        WriteFileBytes(dir_ / "stop.now", "");
        const int code = WaitProcess(child_);
        child_ = nullptr;
        return code;
    }
    std::string Log() { return ReadFileBytes(dir_ / "QVLJOBCTL.LOG"); }
    // True when every line of the log is one whole entry: a stamp, two blanks, a text, CR LF.
    bool OnlyWholeLines() {
        const std::regex entry("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  [^\\r\\n]*\\r\\n");
        const std::string log = Log();
        std::size_t at = 0;
        while (at < log.size()) {
            const std::size_t end = log.find('\n', at);
            if (end == std::string::npos) return false;
            if (!std::regex_match(log.substr(at, end + 1 - at), entry)) return false;
            at = end + 1;
        }
        return true;
    }
    TempDir dir_;
    std::string exe_;
    ChildProcess* child_ = nullptr;
};

// Failures from the start: what the run makes of them.
TEST_F(Fault, AtStartUp) {
    struct Case {
        const char* enable;
        int exitCode;        // -1: the run goes on and is stopped
        const char* logged;  // a line the log must hold ("" for none, "-" for no log at all)
    };
    const Case cases[] = {
        {"enable name=posix/io/net/socket,failinfo=24", 1, "Error CreateNamedPipe"},
        {"enable name=posix/io/net/bind,failinfo=98", 1, "Error CreateNamedPipe"},
        // KILL is started through a fork (the job starter is spawned without one): the
        // controller then ends the silent job starter itself.
        {"enable name=posix/proc/fork,failinfo=11", -1,
         "Prozess KILL \\d+@\\d+: konnte nicht erzeugt werden\\. Fehler: "
         "Resource temporarily unavailable \\(0xb\\)!"},
        // Neither the settings file nor the log can be opened.
        {"enable name=posix/io/oc/open,failinfo=13", 11, "-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.enable);
        std::remove((dir_ / "QVLJOBCTL.LOG").c_str());
        Start({c.enable}, 500);
        if (c.exitCode >= 0) {
            EXPECT_EQ(c.exitCode, WaitProcess(child_));
            child_ = nullptr;
        } else {
            EXPECT_TRUE(Answers()) << "the run goes on serving";
            // a second pass: the time-out, the KILL pause, the time-out again
            std::this_thread::sleep_for(std::chrono::milliseconds(4500));
            EXPECT_EQ(0, Stop());
        }
        const std::string log = Log();
        if (std::string(c.logged) == "-") {
            EXPECT_EQ("", log) << "the log could not be opened";
            continue;
        }
        const std::regex line(std::string("  ") + c.logged + "\\r\\n");
        const auto found = std::distance(std::sregex_iterator(log.begin(), log.end(), line),
                                         std::sregex_iterator());
        EXPECT_GE(found, c.exitCode >= 0 ? 1 : 2) << log;
        EXPECT_NE(std::string::npos, log.find("** Service QVLJOBCTL wurde beendet    **")) << log;
        EXPECT_TRUE(OnlyWholeLines()) << log;
    }
}

// The wait fails while the run serves: the run ends, and says so (never as a clean stop).
TEST_F(Fault, AFailedWaitEndsTheRunAsAFailure) {
    Start({});
    ASSERT_TRUE(Answers());
    Control(ChildProcessId(child_), "enable name=posix/io/net/poll,failinfo=12");
    Answers();  // wakes the wait; the next one fails
    EXPECT_EQ(20, WaitProcess(child_));
    child_ = nullptr;
    const std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("  Error WaitForMultipleObjects\r\n")) << log;
    EXPECT_NE(std::string::npos, log.find("** Service QVLJOBCTL wurde beendet    **")) << log;
}

// The log cannot be written (a full disk) or opened for a while: those entries are dropped,
// the run goes on serving, and the log holds only whole entries, the later ones too.
TEST_F(Fault, ALogThatFailsForAWhileDropsEntriesAndNothingElse) {
    for (const std::string point :
         {"posix/io/rw/write,failinfo=28", "posix/io/oc/open,failinfo=24"}) {
        SCOPED_TRACE(point);
        std::remove((dir_ / "QVLJOBCTL.LOG").c_str());
        Start({}, 300);  // a silent job starter: entries every pass
        ASSERT_TRUE(Answers());
        const std::uint32_t pid = ChildProcessId(child_);
        Control(pid, "enable name=" + point);
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
        const std::size_t during = Log().size();
        EXPECT_TRUE(Answers()) << "the run serves on";
        Control(pid, "disable name=" + point.substr(0, point.find(',')));
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
        EXPECT_LT(during, Log().size()) << "entries land again";
        EXPECT_EQ(0, Stop());
        EXPECT_TRUE(OnlyWholeLines()) << Log();
    }
}

// Random failures of the file, network and process calls while a job starter heartbeats and
// clients storm the pipe: no crash, no hang, no descriptor lost, only whole log lines. (Twenty
// seconds at a failure rate of 6%: as many failures as a minute at 2%.)
TEST_F(Fault, RandomFailuresWhileServing) {
    constexpr int kSeconds = 20;
    ASSERT_TRUE(CopyFileTo(BuiltExecutable("qvljobstr_sample"), dir_ / "QVLJOBSTR_ORACLE.EXE"));
    Start({}, 3000);
    ASSERT_TRUE(Answers());
    const std::uint32_t pid = ChildProcessId(child_);
    const int descriptors = CountDescriptors(pid);
    // Every file, network and process call but the wait itself (poll), whose failure ends
    // the run by design (the case above), and close: Linux frees the descriptor even when
    // close reports an error, whereas the preload's failing close keeps it open.
    const char* const points[] = {
        "posix/io/oc/open",      "posix/io/rw/*",        "posix/io/dir/*",
        "posix/io/net/socket",   "posix/io/net/bind",    "posix/io/net/listen",
        "posix/io/net/accept",   "posix/io/net/connect", "posix/io/net/send",
        "posix/io/net/sendto",   "posix/io/net/sendmsg", "posix/io/net/recv",
        "posix/io/net/recvfrom", "posix/io/net/recvmsg", "posix/proc/fork"};
    for (const char* point : points)
        Control(pid, std::string("enable_random name=") + point + ",probability=0.06");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kSeconds);
    int served = 0;
    char reply[kReplyBytes];
    std::size_t got = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (PlatformPipeTransact(kPipe.c_str(), "storm", 6, reply, sizeof reply, &got, 1000) == 0)
            ++served;
    }
    for (const char* point : points)
        Control(pid, std::string("disable name=") + point);
    EXPECT_GT(served, 0);
    EXPECT_TRUE(Answers()) << "alive after the failures";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(descriptors, CountDescriptors(pid)) << "descriptors before and after";
    const auto stopAsked = std::chrono::steady_clock::now();
    EXPECT_EQ(0, Stop());
    EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, std::chrono::seconds(2));
    EXPECT_TRUE(OnlyWholeLines());
    std::printf("random failures: %d heartbeats served in %d s, %d descriptors before and after\n",
                served, kSeconds, descriptors);
}

}  // namespace
