// Taking over the job starter a previous run left running (QVLADOPT=1), end to end: a console
// run is killed (as a crash or a watchdog would end it) and started again, and the job starter
// it left is taken over, or, where it must not be, neither taken over nor ended.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/processes.h"
#include "support/controller_run.h"
#include "support/installation.h"
#include "support/process_watch.h"
#include "support/test_support.h"

namespace {

bool Linux() {
    return ExecutableFileName("x") == "x";
}

class TakeOverRun : public ControllerRun {
protected:
    void WithKey(bool on) {
        WriteFileBytes(dir_ / "QVLJOBCTL.INI",
                       std::string("[JOBATR]\r\nQVLADOPT=") + (on ? "1" : "0") + "\r\n");
    }
    // Ends the run as a crash would: no stop, no end banner, its state file left as it was.
    void Crash() {
        TerminateChild(child_);
        WaitProcess(child_);
        child_ = nullptr;
    }
    std::uint32_t FirstJobStarter() {
        return static_cast<std::uint32_t>(std::stoul(WaitForLines(dir_ / "starts.txt", 1)));
    }
    std::string StateFile() const { return dir_ / ("QVLJOBCTL" + instance_ + ".STATE"); }
    // The log's texts after the second start banner: the second run's.
    std::string SecondRun() const {
        const std::string log = Log();
        const std::string banner = "** Service QVLJOBCTL wurde gestartet  **";
        const std::size_t second = log.find(banner, log.find(banner) + 1);
        return second == std::string::npos ? "" : log.substr(second);
    }
};

// After a crash of a run with the key, the next run takes the job starter over: the same
// process runs on, no KILL runs and none is started, the log, -status and the state file say
// so, and the crash is told.
TEST_F(TakeOverRun, AJobStarterLeftByACrashedRunIsTakenOver) {
    WithKey(true);
    Start();
    const std::uint32_t job = FirstJobStarter();
    Crash();
    Start();
    const std::string second = SecondRun();
    EXPECT_NE(std::string::npos, second.find("took over its job starter QVLJOBSTR_ORACLE.EXE " +
                                             instance_ + " (process " + std::to_string(job) + ")"))
        << second;
    EXPECT_NE(std::string::npos, second.find("ended without a stop")) << second;
    EXPECT_EQ(std::string::npos, second.find("Prozess KILL")) << second;
    EXPECT_EQ(1, Starts());
    EXPECT_TRUE(ProcessRuns(job));
    const ProcessResult status = Status();
    EXPECT_EQ(0, status.exitCode) << status.out;
    EXPECT_NE(std::string::npos, status.out.find("process " + std::to_string(job) + ", taken over"))
        << status.out;
    EXPECT_NE(std::string::npos, status.out.find("(start 2 of the instance)")) << status.out;
    EXPECT_EQ(0, Stop());
}

// Where nothing may be taken over the first pass runs as ever, and with the key the log says
// why: without the key the job starter is ended and another started; one that ended meanwhile
// is started anew; one whose id another process took is neither taken over nor ended
// (Linux: the id given away with ns_last_pid).
TEST_F(TakeOverRun, WhatMayNotBeTakenOverIsNot) {
    struct Row {
        const char* what;
        bool key;
        bool endIt;        // the job starter ends before the next run
        bool giveItsId;    // ... and a process of the test takes its id
        const char* said;  // with the key, why nothing was taken over
    };
    const Row rows[] = {
        {"without the key", false, false, false, ""},
        {"ended meanwhile", true, true, false, "No job starter was taken over: its job starter"},
        {"its id another process's", true, true, true, "is no longer the job starter it recorded"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.giveItsId && (!Linux() || !IsRoot())) continue;  // ns_last_pid: Linux, as root
        std::remove((dir_ / "starts.txt").c_str());
        std::remove((dir_ / "QVLJOBCTL.LOG").c_str());
        WithKey(r.key);
        Start(60000, {"pause=200"});
        const std::uint32_t job = FirstJobStarter();
        Crash();
        ChildProcess* stranger = nullptr;
        if (r.endIt) {
            ASSERT_TRUE(PlatformTerminateProcess(job));
            ASSERT_TRUE(WaitUntilGone(job));
        }
        if (r.giveItsId) {
            while (FileExists("/proc/" + std::to_string(job)))  // until reaped
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            for (int tries = 0; tries < 20 && !stranger; ++tries) {
                WriteFileBytes("/proc/sys/kernel/ns_last_pid", std::to_string(job - 1));
                stranger = StartProcess({"/bin/sleep", "100"});
                if (ChildProcessId(stranger) == job) break;
                TerminateChild(stranger);
                WaitProcess(stranger);
                stranger = nullptr;
            }
            ASSERT_NE(nullptr, stranger) << "the id could not be given to another process";
        }
        Start(60000, {"pause=200"});
        WaitForLines(dir_ / "starts.txt", 2);
        EXPECT_EQ(std::string::npos, SecondRun().find("took over")) << Log();
        EXPECT_EQ(2, Starts());
        if (r.key) {
            EXPECT_NE(std::string::npos, SecondRun().find(r.said)) << Log();
        }
        if (!r.endIt) {
            EXPECT_TRUE(WaitUntilGone(job)) << "ended as ever";
        }
        if (stranger) {
            EXPECT_TRUE(ProcessRuns(job)) << "the process with its id is never ended";
            TerminateChild(stranger);
            WaitProcess(stranger);
        }
        EXPECT_EQ(0, Stop());
        EndJobStarters();
    }
}

}  // namespace
