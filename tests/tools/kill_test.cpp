// KILL end to end: both argument forms, its exit codes, and the processes it must spare.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <chrono>
#include <string>

#include "platform/processes.h"
#include "support/process_watch.h"
#include "support/test_support.h"

namespace {

class Kill : public ::testing::Test {
protected:
    std::uint32_t StartVictim(const std::string& name, const std::string& arguments = "") {
        const std::string path = dir_ / name;
        if (!FileExists(path)) CopyFileTo(BuiltExecutable("fake_job_starter"), path);
        std::uint32_t pid = 0;
        std::uint64_t created = 0;
        PlatformLaunch((path + " " + arguments).c_str(), &pid, &created);
        victims_.push_back(pid);
        WaitUntilRuns(pid);
        return pid;
    }
    ProcessResult RunKill(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {BuiltExecutable("KILL")};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv);
    }
    void TearDown() override {
        for (auto pid : victims_) {
            PlatformTerminateProcess(pid);
            WaitUntilGone(pid);
        }
    }
    TempDir dir_;
    std::vector<std::uint32_t> victims_;
};

// By id, one or several in one run (a numbered controller's restart names every process it
// ends in one KILL).
TEST_F(Kill, EndsProcessesById) {
    const std::uint32_t pid = StartVictim("VICTIM.EXE");
    const std::uint32_t second = StartVictim("VICTIM.EXE", "7");
    ASSERT_TRUE(ProcessRuns(pid));
    auto r = RunKill({std::to_string(pid)});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_TRUE(WaitUntilGone(pid));
    EXPECT_EQ(1, std::count(r.out.begin(), r.out.end(), '\n'));
    EXPECT_EQ(1, RunKill({std::to_string(pid)}).exitCode) << "nothing left to end";
    const std::uint32_t third = StartVictim("VICTIM.EXE");
    r = RunKill({std::to_string(second), std::to_string(third)});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_TRUE(WaitUntilGone(second));
    EXPECT_TRUE(WaitUntilGone(third));
}

// By name: every process of that name started without an instance number, in any case;
// with an instance, only those started with it.
TEST_F(Kill, EndsEveryProcessOfAnImageNameWithoutRegardToCase) {
    SKIP_UNLESS_ISOLATED();
    const std::uint32_t a = StartVictim("VICTIM.EXE");
    const std::uint32_t b = StartVictim("VICTIM.EXE", "--flag");
    const std::uint32_t three = StartVictim("VICTIM.EXE", "3");
    const std::uint32_t four = StartVictim("VICTIM.EXE", "4");
    const std::uint32_t bystander = StartVictim("BYSTANDER.EXE");
    auto r = RunKill({"victim.exe"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_EQ(2, std::count(r.out.begin(), r.out.end(), '\n')) << r.out;
    EXPECT_TRUE(WaitUntilGone(a));
    EXPECT_TRUE(WaitUntilGone(b));
    EXPECT_TRUE(ProcessRuns(three)) << "a numbered instance's job starter is spared";
    EXPECT_EQ(1, RunKill({"VICTIM.EXE"}).exitCode);
    EXPECT_EQ(0, RunKill({"VICTIM.EXE", "3"}).exitCode);
    EXPECT_TRUE(WaitUntilGone(three));
    EXPECT_TRUE(ProcessRuns(four));
    EXPECT_TRUE(ProcessRuns(bystander));
}

// A job starter of the other width started with an instance number, whose arguments KILL
// may not be able to read (Wine 8 gives a 32-bit program no way to read a 64-bit one's), is
// never ended by name: KILL spares it and says so (or reads its number and spares it as a
// numbered instance's). The same KILL run ends the job starter of this width started without
// a number beside it: KILL did recognise the name.
TEST_F(Kill, ANumberedJobStarterOfTheOtherWidthIsSpared) {
    std::string why;
    const std::string helper = OtherWidthJobStarter(&why);
    if (helper.empty()) GTEST_SKIP() << why;
    SKIP_UNLESS_ISOLATED();
    TempDir other;
    ASSERT_TRUE(CopyFileTo(helper, other / "QVLJOBSTR_ORACLE.EXE"));
    std::uint32_t numbered = 0;
    std::uint64_t created = 0;
    ASSERT_TRUE(PlatformLaunch(("\"" + (other / "QVLJOBSTR_ORACLE.EXE") + "\" 3").c_str(),
                               &numbered, &created));
    victims_.push_back(numbered);
    const std::uint32_t unnumbered = StartVictim("QVLJOBSTR_ORACLE.EXE");
    const ProcessResult r = RunKill({"QVLJOBSTR_ORACLE.EXE"});
    EXPECT_TRUE(ProcessRuns(numbered)) << r.out;
    EXPECT_TRUE(WaitUntilGone(unnumbered)) << "KILL recognised nothing: " << r.out;
    const std::string spared = "KILL: process " + std::to_string(numbered) + " spared";
    EXPECT_TRUE(r.out.find(spared) != std::string::npos ||
                r.out.find("KILL: process " + std::to_string(numbered)) == std::string::npos)
        << r.out;
}

TEST_F(Kill, NeverEndsItselfOrItsParent) {
    SKIP_UNLESS_ISOLATED();
    const std::string self = ExecutableFileName("KILL");
    EXPECT_EQ(1, RunKill({self}).exitCode);
    EXPECT_EQ(1, RunKill({std::to_string(PlatformCurrentProcessId())}).exitCode);
}

// A process that is there but will not end (here: owned by someone else) is reported with
// the reason and its own exit status, never as "no process matched".
TEST_F(Kill, AProcessThatWillNotEndIsReported) {
    const std::uint32_t pid = StartVictim("VICTIM.EXE");
    ProcessResult r;
    if (!RunWithoutAdministratorRights({BuiltExecutable("KILL"), std::to_string(pid)}, &r))
        GTEST_SKIP() << "everyone is an administrator here";
    EXPECT_EQ(3, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos,
              r.out.find("KILL: process " + std::to_string(pid) + " could not be ended - "))
        << r.out;
    EXPECT_TRUE(ProcessRuns(pid));
}

// Root opens no file named on another account's command line: a process of the user nobody
// runs a script named like the job starter (and names another file); KILL by name, as root,
// never opens either (seen by strace), and the process runs on.
TEST_F(Kill, NoFileOnAnotherAccountsCommandLineIsOpened) {
    if (ExecutableFileName("x") != "x" || !IsRoot())
        GTEST_SKIP() << "another account: Linux, as root";
    if (!FileExists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
    SKIP_UNLESS_ISOLATED();
    RunProcess({"/bin/chmod", "755", dir_.path()});
    const std::string script = dir_ / "QVLJOBSTR_ORACLE.EXE";
    WriteFileBytes(script, "#!/bin/sh\nwhile :; do sleep 1; done\n");
    WriteFileBytes(dir_ / "secret", "secret\n");
    RunProcess({"/bin/chmod", "755", script});
    ChildProcess* other = StartProcess(AsNobody({"/bin/sh", script, dir_ / "secret"}));
    ASSERT_NE(nullptr, other);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string trace = dir_ / "trace";
    const ProcessResult r =
        RunProcess({"/usr/bin/strace", "-f", "-qq", "-e", "trace=open,openat", "-o", trace,
                    BuiltExecutable("KILL"), "QVLJOBSTR_ORACLE.EXE"});
    EXPECT_TRUE(ProcessRuns(ChildProcessId(other))) << r.out;
    const std::string opened = ReadFileBytes(trace);
    EXPECT_EQ(std::string::npos, opened.find(dir_.path())) << opened;
    TerminateChild(other);
    WaitProcess(other);
}

// Another process's command line may name a FIFO (here "cat FIFO", waiting for a writer):
// looking whether it is a script must not wait for it.
TEST_F(Kill, AFifoOnAnotherCommandLineDoesNotHoldKill) {
    if (ExecutableFileName("x") != "x") GTEST_SKIP() << "scripts and FIFOs: Linux";
    ASSERT_EQ(0, RunProcess({"/usr/bin/mkfifo", dir_ / "fifo"}).exitCode);
    ChildProcess* reader = StartProcess({"/bin/cat", dir_ / "fifo"});
    ASSERT_NE(nullptr, reader);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(
        1, RunProcess({"/usr/bin/timeout", "10", BuiltExecutable("KILL"), "NOTHING.EXE"}).exitCode)
        << "KILL waited on the FIFO";
    TerminateChild(reader);
    WaitProcess(reader);
}

// An id given with the creation time it was recorded with ("<id>@<time>", as a numbered
// controller hands its targets to KILL): that process is ended; a process of another account
// with that id and time is spared; and a process of another account that took the id after
// the recorded one ended (forced with ns_last_pid) is never ended in its place. (Before:
// "KILL: process 55 ended" ended the stranger.)
TEST_F(Kill, AnIdWithItsCreationTimeEndsOnlyThatProcess) {
    const std::uint32_t pid = StartVictim("VICTIM.EXE");
    ProcessFacts facts;
    ASSERT_TRUE(PlatformProcessFacts(pid, &facts));
    ProcessResult r = RunKill({std::to_string(pid) + "@" + std::to_string(facts.created + 1)});
    EXPECT_EQ(1, r.exitCode) << r.out;
    EXPECT_TRUE(ProcessRuns(pid)) << "another creation time: another process";
    r = RunKill({std::to_string(pid) + "@" + std::to_string(facts.created)});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_TRUE(WaitUntilGone(pid));
    if (ExecutableFileName("x") != "x" || !IsRoot())
        GTEST_SKIP() << "another account and ns_last_pid: Linux, as root";
    SKIP_UNLESS_ISOLATED();
    // Another account's process, named with its true id and creation time.
    ChildProcess* other = StartProcess(AsNobody({"/bin/sleep", "100"}));
    const std::uint32_t otherPid = ChildProcessId(other);
    WaitUntilRuns(otherPid);
    // Until setpriv has changed its account it still runs as root, KILL's own: a KILL then
    // rightly ends it (the test failed so, now and then, on an idle machine).
    for (int waited = 0; waited < 5000; waited += 10) {
        if (PlatformProcessFacts(otherPid, &facts) && facts.account == "65534") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ("65534", facts.account);
    r = RunKill({std::to_string(otherPid) + "@" + std::to_string(facts.created)});
    EXPECT_EQ(1, r.exitCode) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("spared: it runs under another account")) << r.out;
    EXPECT_TRUE(ProcessRuns(otherPid));
    TerminateChild(other);
    WaitProcess(other);
    // A recorded job starter that ended, whose id a process of the user nobody took since.
    const std::uint32_t recorded = StartVictim("VICTIM.EXE");
    ASSERT_TRUE(PlatformProcessFacts(recorded, &facts));
    const std::string target = std::to_string(recorded) + "@" + std::to_string(facts.created);
    ASSERT_TRUE(PlatformTerminateProcess(recorded));
    ASSERT_TRUE(WaitUntilGone(recorded));
    while (FileExists("/proc/" + std::to_string(recorded))) {  // until reaped
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ChildProcess* stranger = nullptr;
    for (int tries = 0; tries < 20 && !stranger; ++tries) {
        WriteFileBytes("/proc/sys/kernel/ns_last_pid", std::to_string(recorded - 1));
        stranger = StartProcess(AsNobody({"/bin/sleep", "100"}));
        if (ChildProcessId(stranger) == recorded) break;
        TerminateChild(stranger);
        WaitProcess(stranger);
        stranger = nullptr;
    }
    ASSERT_NE(nullptr, stranger) << "the id could not be given to another process";
    WaitUntilRuns(recorded);
    r = RunKill({target});
    EXPECT_EQ(1, r.exitCode) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("spared: the id names another process by now"))
        << r.out;
    EXPECT_TRUE(ProcessRuns(recorded)) << "the stranger was ended";
    TerminateChild(stranger);
    WaitProcess(stranger);
}

TEST_F(Kill, UsageErrors) {
    EXPECT_EQ(2, RunKill({}).exitCode);
    EXPECT_EQ(2, RunKill({"a", "b"}).exitCode);
    EXPECT_EQ(2, RunKill({"3", "abc"}).exitCode);
    EXPECT_EQ(2, RunKill({"abc", "3", "4"}).exitCode);
    EXPECT_EQ(2, RunKill({""}).exitCode);
    EXPECT_EQ(2, RunKill({"3@", "4", "5"}).exitCode);
    EXPECT_EQ(2, RunKill({"3@abc", "4@5", "6"}).exitCode);
    EXPECT_EQ(0, RunKill({"--help"}).exitCode);
}

}  // namespace
