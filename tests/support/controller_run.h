// A fixture for the tests that run the controller end to end: the test controller (a console
// run with short times) in a scratch installation, as a numbered instance of its own, driven
// through its real pipe by real clients.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

class ControllerRun : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the controller with the heartbeat time-out `heartbeatMs` and the other times
    // given as "NAME=MS" (see test_controller), and waits until its pipe answers.
    void Start(int heartbeatMs = 60000, const std::vector<std::string>& times = {},
               bool waitForPipe = true);
    // Presses Ctrl+C and waits for the run's end; its exit status.
    int Stop();
    // One heartbeat; 0 when it was answered (see PlatformPipeTransact).
    int Transact(const std::string& message, std::string* reply = nullptr,
                 std::uint32_t timeoutMs = 5000);
    // The job starters started so far (the lines of starts.txt).
    int Starts() const;
    // Those of them still running, by the ids they wrote.
    std::vector<std::uint32_t> RunningJobStarters() const;
    // Ends those of them still running.
    void EndJobStarters() const;
    // Waits up to `ms` until the log holds at least `count` lines holding `text`; true then.
    bool WaitForLog(const std::string& text, int count = 1, int ms = 20000) const;
    // The real controller beside the stand-in, for -status of this instance.
    ProcessResult Status() const;
    std::string Log() const;

    TempDir dir_;
    std::string instance_, serviceName_, pipeName_, exe_;
    ChildProcess* child_ = nullptr;
};
