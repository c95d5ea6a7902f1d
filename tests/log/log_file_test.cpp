// The log file: exact bytes of an entry, rotation at the threshold, failed rotations that
// heal, unusable paths, and appends from several processes that never lose an entry.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/configuration.h"
#include "log/log_file.h"
#include "support/test_support.h"

namespace {

class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = dir_ / "QVLJOBCTL.LOG";
        rotation_ = dir_ / "QVLJOBCTL_0001.LOG";
        std::snprintf(gControllerSettings.logPath, kPathBytes, "%s", log_.c_str());
        std::snprintf(gControllerSettings.rotationPath, kPathBytes, "%s", rotation_.c_str());
    }
    void TearDown() override { gControllerSettings = ControllerSettings{}; }
    TempDir dir_;
    std::string log_, rotation_;
};

const std::regex kStamp("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}");

TEST_F(LogFile, EntryIsStampTwoBlanksTextAndCrLf) {
    std::snprintf(gLogMessage, sizeof gLogMessage, "Error GetIniValues %i \n", 12);
    WriteLog(gLogMessage);
    const std::string bytes = ReadFileBytes(log_);
    ASSERT_EQ(19u + 2 + 22 + 2, bytes.size()) << bytes;
    EXPECT_TRUE(std::regex_match(bytes.substr(0, 19), kStamp)) << bytes;
    EXPECT_EQ("  Error GetIniValues 12 \r\n", bytes.substr(19));
}

TEST_F(LogFile, TextIsStoredVerbatimAndNoLineEndIsAdded) {
    const std::string percent = "100% done in C:\\%TEMP%\\%s %d";
    WriteLog(percent.c_str());
    WriteLog("next\nsecond line\n");
    const std::string bytes = ReadFileBytes(log_);
    ASSERT_EQ(21u, bytes.find(percent));
    const std::string rest = bytes.substr(21 + percent.size());
    EXPECT_TRUE(std::regex_match(rest.substr(0, 19), kStamp)) << "the next stamp follows at once";
    EXPECT_EQ("  next\r\nsecond line\r\n", rest.substr(19));
}

TEST_F(LogFile, LongTextIsWrittenWhole) {
    const std::string text = std::string(2000, 'x') + "\n";
    WriteLog(text.c_str());
    EXPECT_EQ(21u + 2000 + 2, ReadFileBytes(log_).size());
}

TEST_F(LogFile, RotatesOnlyWhenLargerThanTheThreshold) {
    WriteFileBytes(log_, std::string(kLogRotationBytes, 'a'));
    WriteLog("exactly at the threshold\n");
    EXPECT_FALSE(FileExists(rotation_)) << "a log of exactly 5000000 bytes is not rotated";
    const std::string grown = ReadFileBytes(log_);
    EXPECT_GT(grown.size(), static_cast<size_t>(kLogRotationBytes));
    WriteLog("first of the new log\n");
    EXPECT_EQ(grown, ReadFileBytes(rotation_)) << "the previous generation is the old log";
    const std::string fresh = ReadFileBytes(log_);
    EXPECT_EQ(21u + 22, fresh.size());
    EXPECT_EQ("  first of the new log\r\n", fresh.substr(19));
}

TEST_F(LogFile, SecondRotationReplacesThePreviousGeneration) {
    WriteFileBytes(rotation_, "old generation\n");
    WriteFileBytes(log_, std::string(kLogRotationBytes + 1, 'b'));
    WriteLog("entry\n");
    EXPECT_EQ(std::string(kLogRotationBytes + 1, 'b'), ReadFileBytes(rotation_));
    EXPECT_EQ("  entry\r\n", ReadFileBytes(log_).substr(19));
}

TEST_F(LogFile, FailedRotationKeepsTheEntryAndHealsLater) {
    WriteFileBytes(log_, std::string(kLogRotationBytes + 1, 'c'));
    {
        RenameBlocker blocker(log_, rotation_);
        WriteLog("kept in the oversized log\n");
        const std::string bytes = ReadFileBytes(log_);
        EXPECT_EQ(kLogRotationBytes + 1 + 21 + 27, static_cast<std::int64_t>(bytes.size()));
        EXPECT_NE(std::string::npos, bytes.find("  kept in the oversized log\r\n"));
    }
    WriteLog("after the move\n");
    EXPECT_EQ("  after the move\r\n", ReadFileBytes(log_).substr(19));
    EXPECT_NE(std::string::npos, ReadFileBytes(rotation_).find("kept in the oversized log"));
}

TEST_F(LogFile, UnusablePathsDropTheEntrySilently) {
    std::snprintf(gControllerSettings.logPath, kPathBytes, "%s",
                  (dir_ / "missing/dir.log").c_str());
    WriteLog("nowhere to go\n");
    EXPECT_FALSE(FileExists(dir_ / "missing"));
    gControllerSettings.logPath[0] = '\0';
    WriteLog("empty path\n");
    WriteLog("again\n");  // the next entry tries again and does not crash either
}

// On a full disk an entry gets written in part: the part is taken back (or the next entry
// begins a line of its own), so every line stays one whole entry, and entries land again
// once there is room. A tmpfs of 8 KiB, mounted in the suite's own mount namespace.
TEST_F(LogFile, AFullDiskNeverGluesTwoEntriesTogether) {
    if (ExecutableFileName("x") != "x") GTEST_SKIP() << "a small file system of its own: Linux";
    SKIP_UNLESS_ISOLATED();
    TempDir small;
    if (RunProcess({"/bin/mount", "-t", "tmpfs", "-o", "size=8k", "tmpfs", small.path()})
            .exitCode != 0) {
        GTEST_SKIP() << "no tmpfs can be mounted here";
    }
    const std::string log = small / "QVLJOBCTL.LOG";
    std::snprintf(gControllerSettings.logPath, kPathBytes, "%s", log.c_str());
    WriteFileBytes(small / "filler", std::string(4096, 'f'));
    const std::string text(40, 'x');
    for (int i = 0; i < 120; ++i)
        WriteLogFormatted("entry %d %s\n", i, text.c_str());  // the disk fills up
    std::remove((small / "filler").c_str());
    for (int i = 120; i < 125; ++i)
        WriteLogFormatted("entry %d %s\n", i, text.c_str());
    const std::string content = ReadFileBytes(log);
    RunProcess({"/bin/umount", small.path()});
    const std::regex entry("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}  entry \\d+ x{40}\r");
    std::istringstream in(content);
    std::string line;
    int whole = 0;
    while (std::getline(in, line)) {
        EXPECT_TRUE(std::regex_match(line, entry)) << "a torn line: " << line;
        ++whole;
    }
    EXPECT_GT(whole, 20);
    EXPECT_NE(std::string::npos, content.find("  entry 124 ")) << "entries land again";
}

// Every entry of three writers (two other processes and this one) is present exactly once
// and whole: the appends never overwrite or split each other, also when together they take
// the log across the rotation threshold (exactly one of them rotates; no generation is lost).
// In a log folder every account may write to (sticky), another account that may not write
// the log makes the rotation lock's name first: as a file it holds locked, a link, a folder,
// a FIFO. The log is rotated all the same, the foreign object stays as it was, and the first
// time it is met the log says so.
TEST_F(LogFile, ALockAnotherAccountMadeFirstDoesNotStopRotation) {
    if (ExecutableFileName("x") != "x" || !IsRoot())
        GTEST_SKIP() << "another account: Linux, as root";
    struct Form {
        const char* what;
        std::vector<std::string> make;  // run as nobody, with LOCK for the lock's path
        bool held;                      // kept running: it holds the lock
        char type;                      // what `ls -ld` shows first
    };
    const Form forms[] = {
        {"a file held locked", {"/usr/bin/flock", "-x", "LOCK", "/bin/sleep", "30"}, true, '-'},
        {"a symbolic link", {"/bin/ln", "-s", "/etc/passwd", "LOCK"}, false, 'l'},
        {"a folder", {"/bin/mkdir", "LOCK"}, false, 'd'},
        {"a FIFO", {"/usr/bin/mkfifo", "LOCK"}, false, 'p'},
    };
    int notes = 0;
    for (const Form& f : forms) {
        SCOPED_TRACE(f.what);
        TempDir shared;
        ASSERT_EQ(0, RunProcess({"/bin/chmod", "1777", shared.path()}).exitCode);
        const std::string log = shared / "QVLJOBCTL.LOG", lock = log + ".lock";
        std::snprintf(gControllerSettings.logPath, kPathBytes, "%s", log.c_str());
        std::snprintf(gControllerSettings.rotationPath, kPathBytes, "%s",
                      (shared / "QVLJOBCTL_0001.LOG").c_str());
        WriteFileBytes(log, std::string(static_cast<std::size_t>(kLogRotationBytes) + 1, 'x'));
        std::vector<std::string> make = f.make;
        for (std::string& word : make)
            if (word == "LOCK") word = lock;
        ChildProcess* holder = nullptr;
        if (f.held) {
            holder = StartProcess(AsNobody(make));
            for (int i = 0; i < 200 && !FileExists(lock); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // and locked
        } else {
            ASSERT_EQ(0, RunProcess(AsNobody(make)).exitCode);
        }
        const std::string before = RunProcess({"/bin/ls", "-ldi", lock}).out;
        WriteLog("entry after the threshold\n");
        EXPECT_TRUE(FileExists(shared / "QVLJOBCTL_0001.LOG")) << "not rotated";
        EXPECT_LT(ReadFileBytes(log).size(), 1000u) << "not rotated";
        EXPECT_EQ(before, RunProcess({"/bin/ls", "-ldi", lock}).out)
            << "the foreign object changed";
        EXPECT_EQ(f.type, before.substr(before.find(' ') + 1, 1)[0]) << before;
        const std::string text = ReadFileBytes(log);
        notes += text.find("Another account made " + lock) != std::string::npos ? 1 : 0;
        if (holder) {
            TerminateChild(holder);
            WaitProcess(holder);
        }
    }
    EXPECT_EQ(1, notes) << "said once";
}

TEST_F(LogFile, ConcurrentAppendersLoseNothing) {
    // Enough entries that the writers overlap throughout, and that from 200000 bytes below
    // the threshold they take the log across it while all three append.
    constexpr int kEntries = 4000;
    const std::string prefill = "2026-01-01 00:00:00  P\r\n";
    for (const std::int64_t start : {std::int64_t{0}, kLogRotationBytes - 200000}) {
        SCOPED_TRACE(start);
        std::string content;
        while (static_cast<std::int64_t>(content.size()) < start)
            content += prefill;
        WriteFileBytes(log_, content);
        std::remove(rotation_.c_str());
        const std::string writer = BuiltExecutable("log_writer");
        ChildProcess* a = StartProcess({writer, log_, rotation_, "A", std::to_string(kEntries)});
        ChildProcess* b = StartProcess({writer, log_, rotation_, "B", std::to_string(kEntries)});
        ASSERT_NE(nullptr, a);
        ASSERT_NE(nullptr, b);
        for (int i = 0; i < kEntries; ++i)
            WriteLogFormatted("C %d\n", i);
        EXPECT_EQ(0, WaitProcess(a));
        EXPECT_EQ(0, WaitProcess(b));
        std::istringstream in(ReadFileBytes(rotation_) + ReadFileBytes(log_));
        std::map<std::string, int> seen;
        std::string line;
        std::size_t malformed = 0, prefilled = 0;
        const std::regex entry("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}  ([ABC] \\d+)\r");
        std::smatch m;
        while (std::getline(in, line)) {
            if (std::regex_match(line, m, entry)) {
                ++seen[m[1]];
            } else if (line + "\n" == prefill) {
                ++prefilled;
            } else {
                ++malformed;
            }
        }
        EXPECT_EQ(0u, malformed);
        EXPECT_EQ(content.size() / prefill.size(), prefilled) << "the rotated generation is whole";
        EXPECT_EQ(start > 0, FileExists(rotation_))
            << "rotated once, when the threshold was passed";
        EXPECT_EQ(3u * kEntries, seen.size());
        for (const auto& [key, count] : seen) {
            if (count != 1) ADD_FAILURE() << key << " appears " << count << " times";
        }
    }
}

}  // namespace
