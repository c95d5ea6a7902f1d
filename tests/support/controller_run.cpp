// The controller fixture (see controller_run.h).
#include "support/controller_run.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/pipe_client.h"
#include "platform/processes.h"
#include "support/installation.h"
#include "support/process_watch.h"

void ControllerRun::SetUp() {
    SKIP_UNLESS_ISOLATED();
    instance_ = "9" + std::to_string(PlatformCurrentProcessId() % 100000);
    serviceName_ = "QUARVELIN_JOB_CONTROLLER" + instance_;
    pipeName_ = "\\\\.\\pipe\\qvljobctl" + instance_;
    exe_ = LayOutInstallation(dir_.path(), "fake_job_starter", "test_controller");
    ASSERT_NE("", exe_);
}

void ControllerRun::TearDown() {
    if (IsSkipped()) return;
    if (child_) Stop();
    EndJobStarters();
}

void ControllerRun::Start(int heartbeatMs, const std::vector<std::string>& times,
                          bool waitForPipe) {
    std::vector<std::string> argv = {exe_, std::to_string(heartbeatMs), serviceName_,
                                     dir_ / "stop.now"};
    argv.insert(argv.end(), times.begin(), times.end());
    child_ = StartProcess(argv);
    ASSERT_NE(nullptr, child_);
    if (!waitForPipe) return;
    // A loaded machine may take a while to start the controller and, before the pipe is
    // served, the KILL of its first pass (under Wine each a program start of its own).
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
        if (Transact(std::string("ready", 6)) == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << "the controller never answered; its log:\n" << Log();
}

int ControllerRun::Stop() {
    RequestStop(child_, dir_ / "stop.now");
    const int code = WaitProcess(child_);
    child_ = nullptr;
    return code;
}

int ControllerRun::Transact(const std::string& message, std::string* reply,
                            std::uint32_t timeoutMs) {
    char buf[128];
    std::size_t got = 0;
    const int rc = PlatformPipeTransact(pipeName_.c_str(), message.data(), message.size(), buf,
                                        sizeof buf, &got, timeoutMs);
    if (rc == 0 && reply) reply->assign(buf, got);
    return rc;
}

int ControllerRun::Starts() const {
    const std::string text = ReadFileBytes(dir_ / "starts.txt");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

std::vector<std::uint32_t> ControllerRun::RunningJobStarters() const {
    return RunningStarted(dir_ / "starts.txt");
}

void ControllerRun::EndJobStarters() const {
    EndStarted(dir_ / "starts.txt");
}

std::string ControllerRun::Log() const {
    return ReadFileBytes(dir_ / "QVLJOBCTL.LOG");
}

bool ControllerRun::WaitForLog(const std::string& text, int count, int ms) const {
    for (int waited = 0;; waited += 50) {
        const std::vector<std::string> texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
        const auto n = std::count_if(texts.begin(), texts.end(), [&](const std::string& t) {
            return t.find(text) != std::string::npos;
        });
        if (n >= count) return true;
        if (waited >= ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

ProcessResult ControllerRun::Status() const {
    const std::string status = dir_ / ExecutableFileName("qvlstatus");
    if (!FileExists(status)) {
        const std::string name =
            FileExists(BuiltExecutable("QVLJOBCTL")) ? "QVLJOBCTL" : "qvljobctl";
        CopyFileTo(BuiltExecutable(name), status);
    }
    return RunProcess({status, "-status", instance_});
}
