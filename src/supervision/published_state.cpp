// The published run state (see published_state.h).
#include "supervision/published_state.h"

#include <chrono>
#include <ctime>

#include "config/configuration.h"
#include "log/log_file.h"
#include "platform/platform.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "supervision/health.h"
#include "supervision/metrics.h"

RunState gRunState;

namespace {

using Clock = std::chrono::steady_clock;

std::string gPath;
std::string gMetricsPath;  // empty: no metrics file
void (*gTell)(const std::string&) = nullptr;
Clock::time_point gLastWrite;
bool gStateFailureSaid = false;
bool gMetricsFailureSaid = false;

// A file that cannot be written is said once: in the log, the console and the event log.
void SayFailure(const char* what, const std::string& path, bool* said, const char* consequence) {
    if (*said) return;
    *said = true;
    char error[kErrorTextBytes];
    FormatLastError(error, sizeof error);
    const std::string line =
        std::string("The ") + what + " " + path + " cannot be written: " + error;
    WriteLogFormatted("%s\n", line.c_str());
    if (gTell) gTell(line + ". " + consequence);
    ReportErrorEvent(line.c_str());
}

void Write() {
    if (gPath.empty()) return;
    gLastWrite = Clock::now();
    if (!WriteRunState(gPath, gRunState)) {
        SayFailure("state file", gPath, &gStateFailureSaid,
                   "-status finds the controller by its pipe meanwhile.");
    }
    if (gMetricsPath.empty()) return;
    const HealthFacts facts = OwnHealthFacts();
    if (!PlatformReplaceFileWith(gMetricsPath.c_str(), RenderMetrics(facts, JudgeHealth(facts)))) {
        SayFailure("metrics file", gMetricsPath, &gMetricsFailureSaid,
                   "-metrics gives the metrics meanwhile.");
    }
}

}  // namespace

void BeginPublishing(const std::string& statePath, void (*tell)(const std::string& line)) {
    gPath = statePath;
    gTell = tell;
    gStateFailureSaid = gMetricsFailureSaid = false;
    gRunState = RunState{};
    // The textfile collectors read every "*.prom" of their folder; the file is replaced
    // through a new file whose name ends otherwise, so they never read a part of one.
    const std::string dir = gControllerSettings.metricsDir;
    gMetricsPath.clear();
    if (!dir.empty() && !statePath.empty()) {
        const bool separated = dir.back() == '/' || dir.back() == '\\';
        gMetricsPath = dir + (separated ? "" : "/") +
                       NamesOfInstance(gServiceIdentity.instanceSuffix).metricsFile;
    }
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
