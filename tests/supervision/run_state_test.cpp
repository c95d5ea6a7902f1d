// The controller's state file: where each instance's lies, and that a reader never sees a
// part of one while the controller replaces it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/processes.h"
#include "supervision/published_state.h"
#include "supervision/run_state.h"
#include "support/test_support.h"

namespace {

TEST(RunState, EachInstanceHasItsOwnFileBesideTheLog) {
    EXPECT_EQ(".\\QVLJOBCTL.STATE", StateFilePath(".\\QVLJOBCTL.LOG", ""));
    EXPECT_EQ(".\\QVLJOBCTL3.STATE", StateFilePath(".\\QVLJOBCTL.LOG", "3"));
    EXPECT_EQ("D:\\logs\\QVLJOBCTL12.STATE", StateFilePath("D:\\logs\\ctl.txt", "12"));
}

TEST(RunState, ReadersSeeOnlyWholeFiles) {
    TempDir dir;
    const std::string path = dir / "QVLJOBCTL.STATE";
    RunState written;
    written.controllerPid = 4171;
    written.jobStarter = "QVLJOBSTR_ORACLE.EXE 3 ";
    written.lastRestartCause = "no heartbeat for 1000 ms";
    written.controllerCreated = 133480000000000000ull;
    written.lastHeartbeat = 1796786074;
    ASSERT_TRUE(WriteRunState(path, written));
    RunState read;
    ASSERT_TRUE(ReadRunState(path, "", &read));
    EXPECT_EQ(written.jobStarter, read.jobStarter);
    EXPECT_EQ(written.lastRestartCause, read.lastRestartCause);
    EXPECT_EQ(written.controllerCreated, read.controllerCreated);
    EXPECT_EQ(written.lastHeartbeat, read.lastHeartbeat);

    // One writer replacing the file as fast as it can, one reader reading it meanwhile as
    // -status does: every read has every line, and no read ever keeps a write from
    // replacing the file (on Windows the reader shares delete access for that).
    std::string whole;
    ASSERT_EQ(SmallFileRead::kRead, PlatformReadSmallFile(path.c_str(), 8192, &whole));
    std::atomic<bool> done{false};
    int replaced = 0;
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            written.restarts = static_cast<std::uint32_t>(i % 10);  // the same length
            if (WriteRunState(path, written)) ++replaced;
        }
        done = true;
    });
    int reads = 0, torn = 0;
    while (!done) {
        std::string text;
        const SmallFileRead read = PlatformReadSmallFile(path.c_str(), 8192, &text);
        if (read == SmallFileRead::kMissing) continue;  // aside for a moment (Windows)
        if (read != SmallFileRead::kRead) ++torn;
        if (read != SmallFileRead::kRead) continue;
        ++reads;
        const std::string last = "\ncontroller_starts=0\n";  // the file's last line
        if (text.size() != whole.size() ||
            text.compare(text.size() - last.size(), last.size(), last) != 0)
            ++torn;
    }
    writer.join();
    EXPECT_EQ(2000, replaced);
    EXPECT_GT(reads, 0);
    EXPECT_EQ(0, torn);
    // A reader that holds the file open does not stop the next write either.
    std::FILE* held = PlatformOpenFileForReading(path.c_str());
    ASSERT_NE(nullptr, held);
    EXPECT_TRUE(WriteRunState(path, written));
    std::fclose(held);
}

// What another account may place beside the state file at every name it can foresee: the
// names the writer once used ("<file>.<process id>.<count>.tmp", thousands of counts) and
// "<file>.tmp", each a link to a file the writer must never write, a FIFO or a folder. The
// writer's names are random: every write succeeds, follows nothing and leaves nothing.
TEST(RunState, NoForeseenNameStopsOrMisleadsTheWrite) {
    const bool linux = ExecutableFileName("x") == "x";
    TempDir dir;
    const std::string path = dir / "QVLJOBCTL.STATE", victim = dir / "victim";
    const std::string prefix = path + "." + std::to_string(PlatformCurrentProcessId()) + ".";
    WriteFileBytes(victim, "secret\n");
    constexpr int kForeseen = 3000;
    if (linux) {
        ASSERT_EQ(0, RunProcess({"/bin/ln", "-s", victim, prefix + "1.tmp"}).exitCode);
        ASSERT_EQ(0, RunProcess({"/usr/bin/mkfifo", prefix + "2.tmp"}).exitCode);
    }
    for (int count = linux ? 3 : 1; count <= kForeseen; ++count)
        ASSERT_TRUE(MakeDirectory(prefix + std::to_string(count) + ".tmp"));
    ASSERT_TRUE(MakeDirectory(path + ".tmp"));
    const int entries = CountEntries(dir.path());
    for (std::uint32_t pid = 1; pid <= 20; ++pid) {
        RunState written;
        written.controllerPid = pid;
        ASSERT_TRUE(WriteRunState(path, written)) << pid;
        RunState read;
        EXPECT_TRUE(ReadRunState(path, "", &read));
        EXPECT_EQ(pid, read.controllerPid);
    }
    EXPECT_EQ(entries + 1, CountEntries(dir.path())) << "the state file alone was added";
    EXPECT_EQ("secret\n", ReadFileBytes(victim));
}

// A folder that takes no more bytes (a full disk): the write fails, the old state file stays
// whole and no new file is left behind. Linux as root in the suite's namespaces, where a
// small file system of the test's own can be mounted.
TEST(RunState, AFullFolderFailsTheWriteAndLeavesNothing) {
    if (ExecutableFileName("x") != "x" || !IsRoot() || !std::getenv("QVL_TEST_NAMESPACE")) {
        GTEST_SKIP() << "a small file system of the test's own: Linux, as root, in a namespace";
    }
    TempDir dir;
    const std::string small = dir / "small";
    ASSERT_TRUE(MakeDirectory(small));
    ASSERT_EQ(0,
              RunProcess({"/bin/mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", small}).exitCode);
    const std::string path = JoinPath(small, "QVLJOBCTL.STATE");
    RunState written;
    written.controllerPid = 7;
    ASSERT_TRUE(WriteRunState(path, written));
    RunProcess({"/bin/dd", "if=/dev/zero", "of=" + JoinPath(small, "filler"), "bs=1k", "count=64"});
    written.controllerPid = 8;
    written.lastRestartCause = std::string(4000, 'x');  // more than the little room left
    EXPECT_FALSE(WriteRunState(path, written));
    EXPECT_EQ(2, CountEntries(small)) << "the state file and the filler only";
    RunState read;
    EXPECT_TRUE(ReadRunState(path, "", &read)) << "the old file stays whole";
    EXPECT_EQ(7u, read.controllerPid);
    RunProcess({"/bin/umount", small});
}

// Every write shows the job starter as it is at that write, in the state file and in the
// metrics file alike; a run ended by a stop takes its metrics file with it (its series end),
// any other end leaves it saying that the controller does not run.
TEST(Publication, EachWriteShowsTheJobStarterAsItIsNowAndAStopRemovesTheMetrics) {
    for (const bool stopped : {true, false}) {
        SCOPED_TRACE(stopped ? "ended by a stop" : "ended otherwise");
        TempDir dir;
        JobStarterRecord js;
        std::snprintf(js.commandLine, sizeof js.commandLine, "QVLJOBSTR_ORACLE.EXE 3 ");
        Publication p;
        BeginPublishing(&p, dir / "QVLJOBCTL3.STATE", dir.path(), "3", &js, nullptr);
        p.state.controllerPid = 1;
        p.state.started = p.state.jobStarterStarted = std::time(nullptr);
        const std::string metrics = dir / "qvljobctl3.prom";
        const std::string up = "\nqvljobctl_job_starter_up{service=\"QUARVELIN_JOB_CONTROLLER3\"} ";
        for (const std::uint32_t pid : {42u, 43u}) {
            js.pid = pid;
            Publish(&p);
            RunState read;
            ASSERT_TRUE(ReadRunState(dir / "QVLJOBCTL3.STATE", "", &read));
            EXPECT_EQ(pid, read.jobStarterPid);
            EXPECT_NE(0, read.refreshed);
            EXPECT_NE(std::string::npos, ReadFileBytes(metrics).find(up + "1\n")) << pid;
        }
        EndPublishing(&p, stopped);
        RunState read;
        ASSERT_TRUE(ReadRunState(dir / "QVLJOBCTL3.STATE", "", &read));
        EXPECT_NE(0, read.ended);
        EXPECT_EQ(!stopped, FileExists(metrics));
        if (!stopped) {
            EXPECT_NE(std::string::npos,
                      ReadFileBytes(metrics).find(
                          "\nqvljobctl_up{service=\"QUARVELIN_JOB_CONTROLLER3\"} 0\n"));
        }
    }
}

}  // namespace
