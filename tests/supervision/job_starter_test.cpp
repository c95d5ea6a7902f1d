// Job starter control with real processes: a stand-in job starter is installed as
// QVLJOBSTR_ORACLE.EXE in a temporary installation directory (the current directory), and
// the real KILL beside the test executable ends it.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/system.h"
#include "supervision/job_starter.h"
#include "support/installation.h"
#include "support/process_watch.h"
#include "support/test_support.h"

namespace {

constexpr std::uint32_t kTestPauseMs = 300;
const char kImage[] = "QVLJOBSTR_ORACLE.EXE";

class JobStarter : public ::testing::Test {
protected:
    void SetUp() override {
        previousDir_ = CurrentDirectory();
        ASSERT_TRUE(PlatformSetCurrentDirectory(dir_.path().c_str()));
        std::snprintf(gControllerSettings.logPath, kPathBytes, "%s",
                      (dir_ / "QVLJOBCTL.LOG").c_str());
        control_.image = kImage;
        control_.numbered = true;
        control_.instance = 7;
    }
    void TearDown() override {
        ForgetJobStarterWatch(&control_);
        if (control_.current.pid) started_.push_back(control_.current.pid);
        EndProcesses(started_);
        PlatformSetCurrentDirectory(previousDir_.c_str());
        gControllerSettings = ControllerSettings{};
    }
    void InstallJobStarter(const std::string& name = kImage) {
        ASSERT_TRUE(CopyFileTo(BuiltExecutable("fake_job_starter"), dir_ / name));
    }
    // One kill-and-start pass, its steps driven as the run loop drives them, with sleeps
    // for its waits.
    std::uint32_t Pass() {
        RestartPass pass;
        PlanRestart(&control_, &pass);
        while (StartNextKill(&pass))
            PlatformSleep(kTestPauseMs);
        // As the core decides: the controller's own end at once for a target no KILL ends,
        // else the wait for the targets' end, then its own end of what is left.
        bool endItself = !TargetsEnded(&pass) && SomeTargetUnendable(pass);
        const bool awaited = !endItself && !TargetsEnded(&pass);
        for (int waited = 0; awaited && !endItself && !TargetsEnded(&pass); waited += 50) {
            if (waited >= static_cast<int>(kEndWaitMs)) endItself = true;
            PlatformSleep(50);
        }
        if (endItself && EndTargetsItself(&pass, awaited)) {
            for (int waited = 0; !TargetsEnded(&pass) && waited < 5000; waited += 50)
                PlatformSleep(50);
        }
        FinishRestart(&pass, true);
        const std::uint32_t pid = StartJobStarter(&control_) ? control_.current.pid : 0;
        if (pid) {
            started_.push_back(pid);
            WaitUntilRuns(pid);
        }
        return pid;
    }
    static std::string Started(const std::string& command, std::uint32_t pid) {
        return "Prozess " + command + "  PID(" + std::to_string(pid) + ") erstellt. ";
    }
    TempDir dir_;
    std::string previousDir_;
    std::vector<std::uint32_t> started_;
    JobStarterControl control_;
};

std::vector<std::uint32_t> Pids(const std::vector<FoundProcess>& found) {
    std::vector<std::uint32_t> pids;
    for (const FoundProcess& p : found)
        pids.push_back(p.pid);
    return pids;
}

TEST_F(JobStarter, FirstNumberedPassStartsTheJobStarterWithTheInstanceNumber) {
    InstallJobStarter();
    const std::uint32_t pid = Pass();
    ASSERT_NE(0u, pid);
    EXPECT_TRUE(ProcessRuns(pid));
    EXPECT_EQ(std::vector<std::string>{Started("QVLJOBSTR_ORACLE.EXE 7 ", pid)},
              LogTexts(dir_ / "QVLJOBCTL.LOG"));
    EXPECT_EQ(std::to_string(pid) + " 7\n", WaitForLines(dir_ / "starts.txt", 1));
}

TEST_F(JobStarter, SecondNumberedPassKillsTheRememberedJobStarter) {
    InstallJobStarter();
    const std::uint32_t first = Pass();
    ASSERT_NE(0u, first);
    const std::uint32_t second = Pass();
    ASSERT_NE(0u, second);
    EXPECT_NE(first, second);
    EXPECT_TRUE(WaitUntilGone(first));
    EXPECT_TRUE(ProcessRuns(second));
    const auto texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ(Started("QVLJOBSTR_ORACLE.EXE 7 ", first), texts[0]);
    EXPECT_TRUE(std::regex_match(texts[1], std::regex("Prozess KILL " + std::to_string(first) +
                                                      "@\\d+  PID\\(\\d+\\) erstellt. ")))
        << texts[1];
    EXPECT_EQ(Started("QVLJOBSTR_ORACLE.EXE 7 ", second), texts[2]);
}

TEST_F(JobStarter, EndedJobStarterIsNotKilled) {
    InstallJobStarter();
    const std::uint32_t first = Pass();
    ASSERT_TRUE(PlatformTerminateProcess(first));
    ASSERT_TRUE(WaitUntilGone(first));
    const std::uint32_t second = Pass();
    const auto texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
    ASSERT_EQ(2u, texts.size()) << "no KILL for a job starter that has ended";
    EXPECT_EQ(Started("QVLJOBSTR_ORACLE.EXE 7 ", second), texts[1]);
}

// The remembered id now belongs to another process (ids are reused; the creation time tells
// the two apart): it must survive.
TEST_F(JobStarter, ProcessThatIsNotOurJobStarterIsNeverKilled) {
    InstallJobStarter();
    InstallJobStarter("OTHER.EXE");
    std::uint32_t other = 0;
    std::uint64_t created = 0;
    ASSERT_TRUE(PlatformLaunch("OTHER.EXE 7", &other, &created));
    started_.push_back(other);
    WaitUntilRuns(other);
    control_.current.pid = other;
    control_.current.creationTime = created - 1;  // the job starter that had the id before
    Pass();
    PlatformSleep(kTestPauseMs);
    EXPECT_TRUE(ProcessRuns(other));
    for (const auto& text : LogTexts(dir_ / "QVLJOBCTL.LOG"))
        EXPECT_EQ(std::string::npos, text.find("KILL")) << text;
}

// Job starters of this instance that this run did not start (an earlier run's, or one that
// is not the remembered process) are ended before the new one starts: one job starter per
// instance. A job starter of another instance, or of none, is left alone.
TEST_F(JobStarter, NumberedPassEndsEveryOtherJobStarterOfItsInstanceOnly) {
    InstallJobStarter();
    std::uint32_t leftover = 0, otherInstance = 0, unnumbered = 0;
    std::uint64_t created = 0;
    for (auto [command, pid] : {std::pair{"QVLJOBSTR_ORACLE.EXE 7", &leftover},
                                std::pair{"QVLJOBSTR_ORACLE.EXE 8", &otherInstance},
                                std::pair{"QVLJOBSTR_ORACLE.EXE", &unnumbered}}) {
        ASSERT_TRUE(PlatformLaunch(command, pid, &created));
        started_.push_back(*pid);
        WaitUntilRuns(*pid);
    }
    const std::uint32_t first = Pass();
    EXPECT_TRUE(WaitUntilGone(leftover, 0)) << "the start waits until the leftover has ended";
    EXPECT_TRUE(ProcessRuns(otherInstance));
    EXPECT_TRUE(ProcessRuns(unnumbered));
    control_.current.creationTime += 1;  // no longer provably ours: still this instance's
    ForgetJobStarterWatch(&control_);
    const std::uint32_t second = Pass();
    EXPECT_TRUE(WaitUntilGone(first, 0));
    EXPECT_TRUE(ProcessRuns(second));
    EXPECT_EQ(std::vector<std::uint32_t>{second}, Pids(RunningJobStarters(kImage, 7)));
}

// A job starter of the other width (a 64-bit one beside the 32-bit controller, which cannot
// list its modules) is recognised and ended all the same.
TEST_F(JobStarter, AJobStarterOfTheOtherWidthIsRecognisedAndEnded) {
    std::string why;
    const std::string helper = OtherWidthJobStarter(&why);
    if (helper.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(CopyFileTo(helper, dir_ / kImage));
    const std::uint32_t first = Pass();
    ASSERT_NE(0u, first);
    const std::uint32_t second = Pass();
    EXPECT_TRUE(WaitUntilGone(first, 0));
    EXPECT_TRUE(ProcessRuns(second));
}

// A job starter that is a script: on Linux its executable is the interpreter, yet it is
// recognised by the script's name, ended, and started again.
TEST_F(JobStarter, ScriptJobStarterIsRecognisedAndEnded) {
    if (ExecutableFileName("x") != "x") GTEST_SKIP() << "scripts are Linux job starters";
    WriteFileBytes(dir_ / kImage,
                   "#!/bin/sh\necho \"$$ $*\" >>starts.txt\n"
                   "while :; do sleep 1; done\n");
    ASSERT_EQ(0, RunProcess({"/bin/chmod", "+x", dir_ / kImage}).exitCode);
    const std::uint32_t first = Pass();
    ASSERT_NE(0u, first);
    WaitForLines(dir_ / "starts.txt", 1);
    // Among them (a subshell the script forks looks the same until it runs its program).
    const std::vector<std::uint32_t> found = Pids(RunningJobStarters(kImage, 7));
    EXPECT_NE(found.end(), std::find(found.begin(), found.end(), first));
    const std::uint32_t second = Pass();
    EXPECT_TRUE(WaitUntilGone(first, 0));
    EXPECT_TRUE(ProcessRuns(second));
}

TEST_F(JobStarter, UnnumberedPassesKillByImageNameEveryTime) {
    SKIP_UNLESS_ISOLATED();
    // A numbered instance's job starter of the same name is never ended by name.
    InstallJobStarter();
    std::uint32_t numbered = 0;
    std::uint64_t created = 0;
    ASSERT_TRUE(PlatformLaunch("QVLJOBSTR_ORACLE.EXE 3", &numbered, &created));
    started_.push_back(numbered);
    WaitForLines(dir_ / "starts.txt", 1);
    std::remove((dir_ / "starts.txt").c_str());
    control_.numbered = false;
    Pass();
    WaitForLines(dir_ / "starts.txt", 1);
    Pass();
    const std::string starts = WaitForLines(dir_ / "starts.txt", 2);
    const std::uint32_t first = static_cast<std::uint32_t>(std::stoul(starts));
    const std::uint32_t second =
        static_cast<std::uint32_t>(std::stoul(starts.substr(starts.find('\n') + 1)));
    started_.push_back(second);
    EXPECT_TRUE(WaitUntilGone(first));
    EXPECT_TRUE(ProcessRuns(second));
    EXPECT_EQ(second, control_.current.pid) << "remembered to be shown; KILL ends it by name";
    EXPECT_EQ(std::to_string(first) + "\n", starts.substr(0, starts.find('\n') + 1))
        << "started without an argument";
    const auto texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
    ASSERT_EQ(4u, texts.size());
    const std::regex kill("Prozess KILL QVLJOBSTR_ORACLE.EXE  PID\\(\\d+\\) erstellt. ");
    EXPECT_TRUE(std::regex_match(texts[0], kill)) << texts[0];
    EXPECT_EQ(Started(kImage, first), texts[1]);
    EXPECT_TRUE(std::regex_match(texts[2], kill)) << texts[2];
    EXPECT_EQ(Started(kImage, second), texts[3]);
    EXPECT_TRUE(ProcessRuns(numbered));
}

TEST_F(JobStarter, MissingJobStarterIsLoggedWithTheSystemErrorText) {
    EXPECT_EQ(0u, Pass());
    const auto texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
    ASSERT_EQ(1u, texts.size());
    EXPECT_TRUE(std::regex_match(
        texts[0], std::regex("Prozess QVLJOBSTR_ORACLE\\.EXE 7 : konnte nicht erzeugt werden\\. "
                             "Fehler: .+ \\(0x2\\)!")))
        << texts[0];
    EXPECT_EQ(0u, control_.current.pid);
}

// Needs a controller directory without KILL: when KILL stands beside this executable, the
// test runs itself again from a copy in a directory of its own.
TEST_F(JobStarter, MissingKillIsLoggedAndTheStartFollows) {
    if (FileExists(BuiltExecutable("KILL"))) {
        TempDir alone;
        const std::string copy = alone / ExecutableFileName("job_starter_test");
        ASSERT_TRUE(CopyFileTo(BuiltExecutable("job_starter_test"), copy));
        ASSERT_TRUE(CopyFileTo(BuiltExecutable("fake_job_starter"),
                               alone / ExecutableFileName("fake_job_starter")));
        const ProcessResult r = RunProcess({copy, "--gtest_filter=JobStarter.MissingKill*"});
        EXPECT_EQ(0, r.exitCode) << r.out << r.err;
        EXPECT_NE(std::string::npos, r.out.find("[  PASSED  ] 1 test")) << r.out;
        return;
    }
    control_.numbered = false;
    InstallJobStarter();
    Pass();
    const std::string starts = WaitForLines(dir_ / "starts.txt", 1);
    started_.push_back(static_cast<std::uint32_t>(std::stoul(starts)));
    const auto texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
    ASSERT_EQ(2u, texts.size());
    EXPECT_TRUE(std::regex_match(texts[0], std::regex("Prozess KILL QVLJOBSTR_ORACLE\\.EXE: konnte "
                                                      "nicht erzeugt werden\\. Fehler: .+!")))
        << texts[0];
    EXPECT_EQ(Started(kImage, started_.back()), texts[1]);
}

}  // namespace
