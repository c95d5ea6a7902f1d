// The controller's state file: where each instance's lies, and that a reader never sees a
// part of one while the controller replaces it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/files.h"
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
    ASSERT_TRUE(ReadRunState(path, &read));
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
        if (text.size() != whole.size() || text.compare(text.size() - 9, 9, "\nended=0\n") != 0)
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

}  // namespace
