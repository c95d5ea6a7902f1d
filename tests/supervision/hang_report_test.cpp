// The report of a hung job starter, written before its restart (QVLDUMPDIR): a real job
// starter that heartbeats once and then blocks, a real capture, a real restart.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/controller_run.h"
#include "support/process_watch.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

class HangReport : public ControllerRun {
protected:
    void SetUp() override {
        ControllerRun::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(CopyFileTo(BuiltExecutable("hung_job_starter"), dir_ / "QVLJOBSTR_ORACLE.EXE"));
    }
    void TearDown() override {
        ControllerRun::TearDown();
        EndStarted(dir_ / "starts.txt");
    }
    void Configure(const std::string& dumps, int keep) {
        WriteFileBytes(
            dir_ / "QVLJOBCTL.INI",
            "[JOBATR]\r\nQVLDUMPDIR=" + dumps + "\r\nQVLDUMPKEEP=" + std::to_string(keep) + "\r\n");
    }
    std::vector<std::string> Reports(const std::string& dumps) const {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& e : fs::directory_iterator(dumps, error))
            names.push_back(e.path().filename().string());
        return names;
    }
    static bool Linux() { return ExecutableFileName("x") == "x"; }
};

// The report names where the job starter was stuck and its child, lies in a folder of the
// controller's account alone, is named in the log and the state file, and the folder keeps
// the newest QVLDUMPKEEP reports; a folder given relative to the controller's is named whole.
TEST_F(HangReport, AHungJobStarterIsReportedBeforeItsRestart) {
    const std::string dumps = dir_ / "dumps";
    // Given relative to the controller's folder: named whole everywhere (before: "dumps/...").
    Configure("dumps", 2);
    // The limit is not what is tested here: Wine's minidumps take seconds under load.
    Start(1000, {"pause=200", "capture=30000"});
    ASSERT_TRUE(WaitForLog("haengt: Bericht ", 3, 60000)) << Log();
    EXPECT_EQ(0, Stop());
    // The reports the log names, oldest first: the newest QVLDUMPKEEP are there, the rest
    // gone (a capture a stop abandoned is named nowhere).
    std::vector<std::string> named;
    const std::string log = Log(), mark = "haengt: Bericht ";
    for (std::size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) {
        const std::size_t begin = at + mark.size();
        named.push_back(log.substr(begin, log.find(" geschrieben.", begin) - begin));
    }
    ASSERT_GE(named.size(), 3u);
    for (std::size_t i = 0; i < named.size(); ++i)
        EXPECT_EQ(i + 2 >= named.size(), FileExists(named[i])) << named[i];
    const std::string newest = named.back().substr(named.back().find_last_of("/\\") + 1);
    const std::string report = ReadFileBytes(JoinPath(dumps, newest));
    EXPECT_EQ(0u, newest.find("QVLJOBCTL" + instance_ + "_")) << newest;
    const std::string state = ReadFileBytes(dir_ / ("QVLJOBCTL" + instance_ + ".STATE"));
    EXPECT_NE(std::string::npos, state.find("\nhang_reports=")) << state;
    if (Linux()) {
        EXPECT_NE(std::string::npos, report.find("QvlTestHungInADistinctiveWait")) << report;
        EXPECT_NE(std::string::npos, report.find(" sleep\n")) << "the child is listed\n" << report;
        EXPECT_NE(std::string::npos, report.find("\nWait channel: ")) << report;
        struct stat folder {
        }, file{};
        ASSERT_EQ(0, stat(dumps.c_str(), &folder));
        ASSERT_EQ(0, stat((dumps + "/" + newest).c_str(), &file));
        EXPECT_EQ(0700u, folder.st_mode & 07777);
        EXPECT_EQ(0600u, file.st_mode & 07777);
    } else {
        // A minidump: its signature, then its stream directory, which holds a thread list.
        ASSERT_GE(report.size(), 32u);
        EXPECT_EQ("MDMP", report.substr(0, 4));
        const auto u32 = [&report](std::size_t at) {
            std::uint32_t v = 0;
            for (int i = 3; i >= 0; --i)
                v = v * 256 + static_cast<unsigned char>(report[at + i]);
            return v;
        };
        const std::uint32_t streams = u32(8), directory = u32(12);
        bool threads = false;
        for (std::uint32_t i = 0; i < streams && directory + 12 * i + 4 <= report.size(); ++i)
            threads = threads || u32(directory + 12 * i) == 3;  // ThreadListStream
        EXPECT_TRUE(threads) << "no thread list among " << streams << " streams";
    }
    EXPECT_NE(std::string::npos, state.find("\nlast_hang_report=" + dumps)) << state;
}

// A stripped job starter (as the packages ship programs) whose threads come and go and whose
// name holds an escape character: the report is written all the same, each frame names its
// module, its offset there and the module's build-id, so that the frame of the hang is named
// afterwards by eu-addr2line from the unstripped program; the name is escaped. (Before: "??
// (module)" with absolute addresses, "ptrace: No such process" and no report, the raw name.)
TEST_F(HangReport, AStrippedJobStartersReportCanBeReadLater) {
    if (!Linux()) GTEST_SKIP() << "stripped ELF files and eu-addr2line: Linux";
    const std::string unstripped = BuiltExecutable("hung_job_starter");
    const std::string job = dir_ / "QVLJOBSTR_ORACLE.EXE";
    ASSERT_EQ(0, RunProcess({"/usr/bin/strip", "--strip-all", "-o", job, unstripped}).exitCode);
    WriteFileBytes(dir_ / "churn.txt", "");
    const std::string dumps = dir_ / "dumps";
    Configure(dumps, 1);
    Start(1000, {"pause=200", "capture=30000"});
    ASSERT_TRUE(WaitForLog("haengt: Bericht ", 1, 60000)) << Log();
    EXPECT_EQ(0, Stop());
    const std::vector<std::string> reports = Reports(dumps);
    ASSERT_EQ(1u, reports.size());
    const std::string report = ReadFileBytes(JoinPath(dumps, reports[0]));
    EXPECT_NE(std::string::npos, report.find("(hung\\x1b[7m)")) << report;
    // The job starter's own frames: "?? (<path>+0xOFFSET, build-id HEX)".
    const std::string mark = "(" + job + "+0x";
    bool named = false;
    for (std::size_t at = report.find(mark); at != std::string::npos && !named;
         at = report.find(mark, at + 1)) {
        const std::size_t begin = at + mark.size() - 2, end = report.find(',', begin);
        ASSERT_EQ(0u, report.compare(end, 11, ", build-id ")) << report;
        const ProcessResult r = RunProcess(
            {"/usr/bin/eu-addr2line", "-f", "-e", unstripped, report.substr(begin, end - begin)});
        named = r.out.rfind("QvlTestHungInADistinctiveWait", 0) == 0;
        if (named) {
            const std::size_t line = report.rfind('\n', at) + 1;
            std::printf("%s\n  -> eu-addr2line: %s",
                        report.substr(line, report.find('\n', at) - line).c_str(), r.out.c_str());
        }
    }
    EXPECT_TRUE(named) << "no frame of the job starter resolves to the hang\n" << report;
}

// A folder with no room left (a full disk) and QVLDUMPKEEP=1: the old report goes before the
// new one is written, so that there is always the newest. (Before: the new one could not be
// written, and the old one, removed only after a new one, stayed for ever.)
TEST_F(HangReport, AFullFolderMakesRoomForTheNewReport) {
    if (!Linux() || !IsRoot()) GTEST_SKIP() << "a file system of its own: Linux, as root";
    SKIP_UNLESS_ISOLATED();
    const std::string dumps = dir_ / "dumps";
    ASSERT_TRUE(MakeDirectory(dumps));
    ASSERT_EQ(0,
              RunProcess({"/bin/mount", "-t", "tmpfs", "-o", "size=256k,mode=0700", "tmpfs", dumps})
                  .exitCode);
    const std::string old = dumps + "/QVLJOBCTL" + instance_ + "_20200101-000000_1.txt";
    RunProcess({"/bin/sh", "-c", "cat /dev/zero > '" + old + "' 2>/dev/null"});
    Configure(dumps, 1);
    Start(1000, {"pause=200", "capture=30000"});
    const bool written = WaitForLog("haengt: Bericht ", 1, 60000);
    EXPECT_EQ(0, Stop());
    const std::vector<std::string> reports = Reports(dumps);
    RunProcess({"/bin/umount", dumps});
    EXPECT_TRUE(written) << Log();
    EXPECT_FALSE(FileExists(old));
    EXPECT_EQ(1u, reports.size());
}

// A capture that cannot finish (the job starter waits in vfork, where nothing can stop it)
// is abandoned at its limit and the restart goes on; a stop during a capture is obeyed at
// once. Neither leaves a report.
TEST_F(HangReport, ACaptureThatCannotFinishHoldsNothingUp) {
    if (!Linux()) GTEST_SKIP() << "vfork: Linux";
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "TSan turns the job starter's vfork into a fork: no uninterruptible wait";
#endif
    const std::string dumps = dir_ / "dumps";
    Configure(dumps, 5);
    WriteFileBytes(dir_ / "vfork.txt", "");
    Start(1000, {"pause=200", "capture=1500"});
    ASSERT_TRUE(WaitForLog("kein Bericht ueber den Haenger: abandoned", 1, 30000)) << Log();
    WaitForLines(dir_ / "starts.txt", 2, 10000);
    EXPECT_GE(StartedIds(dir_ / "starts.txt").size(), 2u) << "restarted after the limit";
    // The second job starter hangs the same way: stopped while it is captured.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const Clock::time_point stop = Clock::now();
    EXPECT_EQ(0, Stop());
    EXPECT_LT(Clock::now() - stop, std::chrono::seconds(5)) << "a stop waits for no capture";
    EXPECT_TRUE(Reports(dumps).empty());
}

// A folder another account could write to is refused, said once, and the restarts go on.
TEST_F(HangReport, AFolderOthersMayWriteToIsRefused) {
    if (!Linux()) GTEST_SKIP() << "modes: Linux";
    const std::string dumps = dir_ / "open";
    ASSERT_TRUE(MakeDirectory(dumps));
    fs::permissions(dumps, fs::perms::all);
    Configure(dumps, 5);
    Start(1000, {"pause=200"});
    WaitForLines(dir_ / "starts.txt", 3, 30000);
    const std::string log = Log(), said = "is refused: other accounts may write to it (mode 0777)";
    const std::size_t first = log.find(said);
    EXPECT_NE(std::string::npos, first) << log;
    EXPECT_EQ(std::string::npos, log.find(said, first + 1)) << "said once\n" << log;
    EXPECT_TRUE(Reports(dumps).empty());
    EXPECT_EQ(0, Stop());
}

}  // namespace
