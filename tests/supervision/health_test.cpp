// The health judgement and its metrics as tables: one row per verdict -status can give, one
// row per metric the exposition carries, each from facts chosen here (no process, no file).
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "supervision/health.h"
#include "supervision/metrics.h"

namespace {

constexpr std::int64_t kNow = 1800000000;

// A controller that runs, serves its pipe and whose job starter heartbeated a second ago.
HealthFacts Healthy() {
    HealthFacts f;
    f.now = kNow;
    f.instanceText = "3";
    f.stateRead = true;
    f.controllerAlive = true;
    f.pipeServed = true;
    f.jobStarterAlive = true;
    RunState& st = f.state;
    st.controllerPid = 100;
    st.started = kNow - 3600;
    st.heartbeatTimeoutMs = 300000;
    st.jobStarter = "QVLJOBSTR_ORACLE.EXE 3 ";
    st.jobStarterPid = 200;
    st.jobStarterStarted = kNow - 3000;
    st.lastHeartbeat = kNow - 1;
    return f;
}

struct VerdictRow {
    const char* name;
    std::function<void(HealthFacts&)> change;
    Health health;
    bool running;
    const char* why;  // the start of the reason
};

TEST(Health, EveryVerdictFromItsFacts) {
    const std::int64_t allowance = RestartAllowanceSeconds();
    const VerdictRow rows[] = {
        {"healthy", [](HealthFacts&) {}, Health::kHealthy, true, ""},
        {"an unreadable state file",
         [](HealthFacts& f) {
             f.stateRead = false;
             f.stateProblem = "not a regular file";
         },
         Health::kUnhealthy, true, "state file unreadable: not a regular file"},
        {"nothing runs", [](HealthFacts& f) { f.controllerAlive = f.pipeServed = false; },
         Health::kNotRunning, false, ""},
        {"a pipe served without a controller that writes its state",
         [](HealthFacts& f) { f.controllerAlive = false; }, Health::kUnhealthy, true,
         "the controller's state file is not written"},
        // A frozen controller: its file, job starter and all, is as old as its last refresh.
        {"a controller that has missed its refreshes",
         [](HealthFacts& f) {
             f.state.refreshed = kNow - kRefreshOverdueSeconds - 1;
             f.state.lastHeartbeat = kNow - 400;
         },
         Health::kUnhealthy, true,
         "controller not responding: its state was last written 31 s ago"},
        {"a controller within its refresh",
         [](HealthFacts& f) { f.state.refreshed = kNow - kRefreshOverdueSeconds; },
         Health::kHealthy, true, ""},
        {"a controller whose pipe is not served", [](HealthFacts& f) { f.pipeServed = false; },
         Health::kUnhealthy, true, "its pipe is not served"},
        {"two job starters in a row that never heartbeated",
         [](HealthFacts& f) {
             f.state.restartsSinceHeartbeat = 2;
             f.state.lastHeartbeat = kNow - 700;
         },
         Health::kUnhealthy, true,
         "the job starter QVLJOBSTR_ORACLE.EXE has not heartbeated for 700 s (restarted 2 times"},
        {"a restart under way",
         [](HealthFacts& f) {
             f.state.jobStarterStarted = 0;
             f.state.lastRestart = kNow - 5;
         },
         Health::kStarting, true, "the job starter is being started"},
        {"a restart under way for too long",
         [allowance](HealthFacts& f) {
             f.state.jobStarterStarted = 0;
             f.state.lastRestart = kNow - allowance - 1;
         },
         Health::kUnhealthy, true, "the job starter has been being started for"},
        {"a first restart after an exit, due",
         [](HealthFacts& f) {
             f.state.restartOnExit = 1;
             f.state.jobStarterExited = kNow - 1;
             f.state.restartDue = kNow;
         },
         Health::kStarting, true, "the job starter exited and is being restarted"},
        {"a job starter that keeps exiting",
         [](HealthFacts& f) {
             f.state.restartOnExit = 1;
             f.state.jobStarterExited = kNow - 1;
             f.state.jobStarterExitCode = 7;
             f.state.backoffMs = 4000;
             f.state.restartDue = kNow + 3;
         },
         Health::kUnhealthy, true,
         "the job starter QVLJOBSTR_ORACLE.EXE keeps exiting (last exit code 7)"},
        {"an exit left to the time-out", [](HealthFacts& f) { f.state.jobStarterExited = kNow; },
         Health::kUnhealthy, true, "the job starter QVLJOBSTR_ORACLE.EXE has exited"},
        {"a start that failed", [](HealthFacts& f) { f.state.jobStarterPid = 0; },
         Health::kUnhealthy, true, "the job starter QVLJOBSTR_ORACLE.EXE could not be started"},
        {"a job starter that is gone", [](HealthFacts& f) { f.jobStarterAlive = false; },
         Health::kUnhealthy, true, "the job starter QVLJOBSTR_ORACLE.EXE does not run"},
        {"silence past the time-out and the state file's lag",
         [](HealthFacts& f) { f.state.lastHeartbeat = kNow - 300 - 10 - 1; }, Health::kUnhealthy,
         true, "the job starter QVLJOBSTR_ORACLE.EXE has not heartbeated for 311 s"},
        {"silence within the time-out and the lag",
         [](HealthFacts& f) { f.state.lastHeartbeat = kNow - 300 - 10; }, Health::kHealthy, true,
         ""},
        // A restarted job starter has its own time-out: silence counts from its start, not
        // from the last heartbeat of the one before it.
        {"a restarted job starter within its own time-out",
         [](HealthFacts& f) {
             f.state.lastHeartbeat = kNow - 900;
             f.state.jobStarterStarted = kNow - 300;
             f.state.restartsSinceHeartbeat = 1;
         },
         Health::kHealthy, true, ""},
    };
    for (const VerdictRow& r : rows) {
        SCOPED_TRACE(r.name);
        HealthFacts f = Healthy();
        r.change(f);
        const Verdict v = JudgeHealth(f);
        EXPECT_EQ(static_cast<int>(r.health), static_cast<int>(v.health)) << v.why;
        EXPECT_EQ(r.running, v.running);
        EXPECT_EQ(0u, v.why.rfind(r.why, 0)) << v.why;
    }
}

// The value of one sample in an exposition ("" when it is not there).
std::string Sample(const std::string& text, const std::string& series) {
    const std::size_t at = text.find("\n" + series + " ");
    if (at == std::string::npos) return "";
    const std::size_t begin = at + series.size() + 2;
    return text.substr(begin, text.find('\n', begin) - begin);
}

TEST(Metrics, EveryMetricFromTheFactsAndTheVerdict) {
    HealthFacts f = Healthy();
    f.state.restartsSilence = 4;
    f.state.restartsExit = 2;
    f.state.restartsStartFailed = 1;
    f.state.backoffMs = 8000;
    f.state.refreshed = kNow - 2;
    f.state.hangReports = 3;
    const std::string text = RenderMetrics(f, JudgeHealth(f));
    const std::string s = "{service=\"QUARVELIN_JOB_CONTROLLER3\"";
    const std::pair<std::string, std::string> rows[] = {
        {"qvljobctl_up" + s + "}", "1"},
        {"qvljobctl_healthy" + s + "}", "1"},
        {"qvljobctl_job_starter_up" + s + "}", "1"},
        {"qvljobctl_job_starter_restarts_total" + s + ",cause=\"silence\"}", "4"},
        {"qvljobctl_job_starter_restarts_total" + s + ",cause=\"exit\"}", "2"},
        {"qvljobctl_job_starter_restarts_total" + s + ",cause=\"start_failed\"}", "1"},
        {"qvljobctl_last_heartbeat_timestamp_seconds" + s + "}", std::to_string(kNow - 1)},
        {"qvljobctl_heartbeat_timeout_seconds" + s + "}", "300"},
        {"qvljobctl_job_starter_start_time_seconds" + s + "}", std::to_string(kNow - 3000)},
        {"qvljobctl_start_time_seconds" + s + "}", std::to_string(kNow - 3600)},
        {"qvljobctl_job_starter_backoff_seconds" + s + "}", "8"},
        {"qvljobctl_last_refresh_timestamp_seconds" + s + "}", std::to_string(kNow - 2)},
        {"qvljobctl_hang_reports_total" + s + "}", "3"},
    };
    for (const auto& [series, value] : rows)
        EXPECT_EQ(value, Sample(text, series)) << series << "\n" << text;
    EXPECT_NE(std::string::npos, text.find("qvljobctl_build_info" + s + ",version=\""));
    // Unhealthy, and a job starter that has exited: both gauges say so.
    f.state.jobStarterExited = kNow;
    const std::string exited = RenderMetrics(f, JudgeHealth(f));
    EXPECT_EQ("0", Sample(exited, "qvljobctl_healthy" + s + "}"));
    EXPECT_EQ("0", Sample(exited, "qvljobctl_job_starter_up" + s + "}"));
    // No state file: only what is known without one.
    f.stateRead = false;
    f.stateMissing = true;
    f.controllerAlive = f.pipeServed = false;
    const std::string none = RenderMetrics(f, JudgeHealth(f));
    EXPECT_EQ("0", Sample(none, "qvljobctl_up" + s + "}"));
    EXPECT_EQ("", Sample(none, "qvljobctl_start_time_seconds" + s + "}"));
}

}  // namespace
