// The published run state (see published_state.h).
#include "supervision/published_state.h"

#include <chrono>
#include <ctime>

#include "log/log_file.h"
#include "platform/platform.h"
#include "service/status_report.h"

RunState gRunState;

namespace {

using Clock = std::chrono::steady_clock;

std::string gPath;
void (*gTell)(const std::string&) = nullptr;
Clock::time_point gLastWrite;
bool gFailureSaid = false;

void Write() {
    if (gPath.empty()) return;
    gLastWrite = Clock::now();
    if (WriteRunState(gPath, gRunState) || gFailureSaid) return;
    gFailureSaid = true;
    char error[kErrorTextBytes];
    FormatLastError(error, sizeof error);
    const std::string line = "The state file " + gPath + " cannot be written: " + error;
    WriteLogFormatted("%s\n", line.c_str());
    if (gTell) gTell(line + ". -status finds the controller by its pipe meanwhile.");
    ReportErrorEvent(line.c_str());
}

}  // namespace

void BeginPublishing(const std::string& statePath, void (*tell)(const std::string& line)) {
    gPath = statePath;
    gTell = tell;
    gFailureSaid = false;
    gRunState = RunState{};
}

void Publish() {
    Write();
}

void PublishHeartbeat(bool firstOfJobStarter) {
    if (firstOfJobStarter ||
        Clock::now() - gLastWrite >= std::chrono::milliseconds(kStateRefreshMs)) {
        Write();
    }
}

void EndPublishing() {
    gRunState.ended = std::time(nullptr);
    Write();
    gPath.clear();
}
