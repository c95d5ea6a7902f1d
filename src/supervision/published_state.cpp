// The published run state (see published_state.h).
#include "supervision/published_state.h"

#include <ctime>

#include "log/log_file.h"
#include "platform/files.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "supervision/health.h"
#include "supervision/metrics.h"

namespace {

// A file that cannot be written is said once: in the log, the console and the event log.
void SayFailure(const Publication& p, const char* what, const std::string& path, bool* said,
                const char* consequence, std::uint32_t code = PlatformLastError()) {
    if (*said) return;
    *said = true;
    char error[kErrorTextBytes];
    FormatError(code, error, sizeof error);
    const std::string line =
        std::string("The ") + what + " " + path + " cannot be written: " + error;
    WriteLogFormatted("%s\n", line.c_str());
    if (p.tell) p.tell(line + ". " + consequence);
    ReportErrorEvent(line.c_str(), code);
}

void Write(Publication* p) {
    RunState& st = p->state;
    st.refreshed = std::time(nullptr);
    if (p->jobStarter) {
        st.jobStarter = p->jobStarter->commandLine;
        st.jobStarterPid = p->jobStarter->pid;
        st.jobStarterCreated = p->jobStarter->creationTime;
    }
    // Every write is the loop's progress: the service manager hears of it (its watchdog) with
    // the health the record shows, until the run has ended.
    const HealthFacts facts = OwnHealthFacts(st, p->instanceText);
    const Verdict verdict = JudgeHealth(facts);
    if (st.ended == 0) PlatformServiceAlive(HealthLine(verdict).c_str());
    if (p->path.empty()) return;
    if (!WriteRunState(p->path, st)) {
        // What -status then shows: the last state written, which grows old.
        static const std::string consequence =
            "Until a write succeeds, -status shows the state last written and calls the "
            "controller not responding once that is older than " +
            std::to_string(kRefreshOverdueSeconds) + " s.";
        SayFailure(*p, "state file", p->path, &p->stateFailureSaid, consequence.c_str());
    }
    if (p->metricsPath.empty()) return;
    if (!PlatformReplaceFileWith(p->metricsPath.c_str(), RenderMetrics(facts, verdict))) {
        SayFailure(*p, "metrics file", p->metricsPath, &p->metricsFailureSaid,
                   "-metrics gives the metrics meanwhile.");
    }
}

}  // namespace

void BeginPublishing(Publication* p, const std::string& statePath, const std::string& metricsDir,
                     const std::string& instanceText, const JobStarterRecord* jobStarter,
                     void (*tell)(const std::string& line)) {
    *p = Publication{};
    p->path = statePath;
    p->tell = tell;
    p->jobStarter = jobStarter;
    p->instanceText = instanceText;
    // The textfile collectors read every "*.prom" of their folder; the file is replaced
    // through a new file whose name ends otherwise, so they never read a part of one.
    if (!metricsDir.empty() && !statePath.empty()) {
        const bool separated = metricsDir.back() == '/' || metricsDir.back() == '\\';
        p->metricsPath =
            metricsDir + (separated ? "" : "/") + NamesOfInstance(instanceText).metricsFile;
    }
}

void Publish(Publication* p) {
    Write(p);
}

void PublishHeartbeat(Publication* p, bool firstOfJobStarter) {
    if (firstOfJobStarter) Write(p);
}

void EndPublishing(Publication* p, bool stopped) {
    p->state.ended = std::time(nullptr);
    // A run ended by a stop takes its metrics file with it: an instance stopped on purpose
    // raises no alert. One that ended otherwise leaves it saying that it does not run.
    if (stopped && !p->metricsPath.empty()) {
        const std::string metrics = p->metricsPath;
        p->metricsPath.clear();
        Write(p);
        std::string left;
        const bool deleted = PlatformDeleteFile(metrics.c_str());
        const std::uint32_t error = PlatformLastError();
        if (!deleted &&
            PlatformReadSmallFile(metrics.c_str(), 0, &left) != SmallFileRead::kMissing) {
            SayFailure(*p, "metrics file", metrics, &p->metricsFailureSaid,
                       "It stays, saying that the controller does not run.", error);
        }
    } else {
        Write(p);
    }
    p->path.clear();
}
