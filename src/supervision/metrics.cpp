// The metrics (see metrics.h).
#include "supervision/metrics.h"

#include "service/service_identity.h"
#include "service/version.h"

namespace {

// A label value with the exposition format's escapes: backslash, double quote, line feed.
std::string Escaped(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

class Exposition {
public:
    explicit Exposition(const std::string& service)
        : labels_("service=\"" + Escaped(service) + "\"") {}
    // Opens a metric with its HELP and TYPE lines.
    void Metric(const char* name, const char* type, const char* help) {
        name_ = name;
        text_ +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    // One sample of the open metric, with extra labels when given.
    void Sample(long long value, const std::string& extra = "") {
        text_ += name_ + "{" + labels_ + (extra.empty() ? "" : "," + extra) + "} " +
                 std::to_string(value) + "\n";
    }
    const std::string& text() const { return text_; }

private:
    std::string labels_, name_, text_;
};

}  // namespace

std::string RenderMetrics(const HealthFacts& f, const Verdict& v) {
    Exposition m(NamesOfInstance(f.instanceText).service);
    const RunState& st = f.state;
    m.Metric("qvljobctl_build_info", "gauge",
             "The controller's version, as the label says; always 1.");
    m.Sample(1, std::string("version=\"") + Escaped(BuildVersion()) + "\"");
    m.Metric("qvljobctl_up", "gauge", "Whether a controller of the instance runs (1) or not (0).");
    m.Sample(v.running ? 1 : 0);
    m.Metric("qvljobctl_healthy", "gauge",
             "Whether -status finds the instance healthy or its job starter being restarted (1), "
             "or not (0).");
    m.Sample(v.health == Health::kHealthy || v.health == Health::kStarting ? 1 : 0);
    m.Metric("qvljobctl_job_starter_up", "gauge",
             "Whether the job starter the controller started still runs (1) or not (0).");
    m.Sample(v.running && f.controllerAlive && f.jobStarterAlive && st.jobStarterExited == 0 ? 1
                                                                                             : 0);
    if (!f.stateRead) return m.text();
    m.Metric("qvljobctl_job_starter_restarts_total", "counter",
             "Restarts of the job starter since the controller started, by cause: no heartbeat "
             "within the time-out, an exit, a start that failed.");
    m.Sample(st.restartsSilence, "cause=\"silence\"");
    m.Sample(st.restartsExit, "cause=\"exit\"");
    m.Sample(st.restartsStartFailed, "cause=\"start_failed\"");
    m.Metric("qvljobctl_controller_starts_total", "counter",
             "Starts of the instance's controller, counted on from run to run through its state "
             "file: one that grows by itself (the service manager restarting a controller that "
             "crashed or froze) is a controller in trouble.");
    m.Sample(st.controllerStarts);
    m.Metric("qvljobctl_hang_reports_total", "counter",
             "Reports of silent job starters written before their restart (QVLDUMPDIR) since the "
             "controller started.");
    m.Sample(st.hangReports);
    // The gauges the state file gives, one row each.
    struct Gauge {
        const char* name;
        const char* help;
        long long value;
    };
    const Gauge gauges[] = {
        {"qvljobctl_last_heartbeat_timestamp_seconds",
         "When the last heartbeat came, in seconds since 1970 (0: none since the controller "
         "started); it may lag by up to 10 s.",
         st.lastHeartbeat},
        {"qvljobctl_heartbeat_timeout_seconds", "The heartbeat time-out in force, in seconds.",
         (st.heartbeatTimeoutMs + 999) / 1000},
        {"qvljobctl_job_starter_start_time_seconds",
         "When the current job starter was started, in seconds since 1970 (0 while a restart "
         "is under way).",
         st.jobStarterStarted},
        {"qvljobctl_start_time_seconds",
         "When the controller's run started, in seconds since 1970.", st.started},
        {"qvljobctl_last_refresh_timestamp_seconds",
         "When the controller last wrote its state, in seconds since 1970: at least every 10 s "
         "while its loop makes progress (0: a controller that does not say).",
         st.refreshed},
        {"qvljobctl_job_starter_backoff_seconds",
         "The delay before the restart after the job starter's last exit, in seconds.",
         st.backoffMs / 1000},
    };
    for (const Gauge& g : gauges) {
        m.Metric(g.name, "gauge", g.help);
        m.Sample(g.value);
    }
    return m.text();
}
