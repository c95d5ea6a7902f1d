// The -status command (see status_command.h): the instance's facts, judged once, rendered
// as a few plain English lines.
#include "host/status_command.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "platform/console.h"
#include "platform/service_manager.h"
#include "service/service_identity.h"
#include "supervision/health.h"
#include "supervision/metrics.h"
#include "supervision/run_state.h"

namespace {

constexpr int kLabelChars = 13;  // "job starter: " and the like line the values up

std::string Ago(std::int64_t seconds, std::int64_t now) {
    return LocalTimeOf(seconds) + ", " + std::to_string(now - seconds) + " s ago";
}

std::string ServiceText(const HealthFacts& f) {
    if (!f.serviceKnown) return "the service manager cannot be asked: " + f.serviceError;
    std::string text;
    switch (f.service.state) {
        case ServiceState::kNotInstalled:
            return "not installed";
        case ServiceState::kStopped:
            return f.service.restartPending ? "failed, restart pending" : "stopped";
        case ServiceState::kStarting:
            text = "starting";
            break;
        case ServiceState::kStopping:
            text = "stopping";
            break;
        case ServiceState::kRunning:
            text = "running";
            break;
    }
    if (f.service.pid != 0) text += ", process " + std::to_string(f.service.pid);
    return text;
}

// A label and its value; a label longer than the room still gets its blank. Control
// characters (from a state file another account may have written) are shown as '?', never
// sent to the terminal.
void Line(const std::string& label, std::string text) {
    for (char& c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
    std::printf("  %-*s%s%s\n", kLabelChars, label.c_str(),
                label.size() >= static_cast<std::size_t>(kLabelChars) ? " " : "", text.c_str());
}

std::string ControllerText(const HealthFacts& f, const Verdict& v) {
    const RunState& st = f.state;
    if (!f.stateRead && !f.stateMissing) {
        return std::string(v.running ? "running; " : "") +
               "state file unreadable: " + f.stateProblem;
    }
    if (!v.running) {
        return f.stateRead && st.ended != 0
                   ? "not running (last run ended " + LocalTimeOf(st.ended) + ")"
                   : "not running";
    }
    if (f.controllerAlive) {
        return "running since " + LocalTimeOf(st.started) + ", process " +
               std::to_string(st.controllerPid) +
               (st.controllerStarts > 1
                    ? " (start " + std::to_string(st.controllerStarts) + " of the instance)"
                    : "");
    }
    std::string reason = f.statePath.empty()
                             ? f.stateProblem
                             : f.statePath + " does not exist (a missing or read-only folder?)";
    if (f.stateRead) {
        reason = f.statePath + (st.ended != 0
                                    ? " is the last run's, which ended " + LocalTimeOf(st.ended)
                                    : " is that of process " + std::to_string(st.controllerPid) +
                                          ", which no longer runs");
    }
    return "running; state file not written: " + reason;
}

std::string JobStarterText(const HealthFacts& f) {
    const RunState& st = f.state;
    // The command line as started, without the blank a numbered instance's ends with.
    const std::string command = st.jobStarter.substr(0, st.jobStarter.find_last_not_of(' ') + 1);
    if (st.jobStarterStarted == 0) return "being started";  // a restart is under way
    if (st.jobStarterPid == 0) return command + " could not be started";
    if (st.jobStarterExited != 0) {
        return command + " exited at " + LocalTimeOf(st.jobStarterExited) +
               (st.jobStarterExitCode >= 0 ? " with code " + std::to_string(st.jobStarterExitCode)
                                           : " (exit code unknown)") +
               (st.restartDue != 0 ? "; restart due at " + LocalTimeOf(st.restartDue) : "");
    }
    if (st.jobStarterTakenOver != 0) {
        return command + ", process " + std::to_string(st.jobStarterPid) + ", taken over " +
               LocalTimeOf(st.jobStarterTakenOver) + " from the previous run" +
               (f.jobStarterAlive ? "; still that process" : "; no longer runs");
    }
    return command + ", process " + std::to_string(st.jobStarterPid) + ", started " +
           LocalTimeOf(st.jobStarterStarted) +
           (f.jobStarterAlive ? "; still the process the controller started" : "; no longer runs");
}

std::string RestartsText(const HealthFacts& f) {
    const RunState& st = f.state;
    if (st.restarts == 0) return "none";
    std::string text = std::to_string(st.restarts) + ", the last " + Ago(st.lastRestart, f.now) +
                       ", after " + st.lastRestartCause;
    if (st.backoffMs != 0) text += "; back-off " + std::to_string(st.backoffMs / 1000) + " s";
    return text;
}

}  // namespace

int ShowStatus(const char* instanceText) {
    const HealthFacts f = GatherHealthFacts(instanceText);
    const Verdict v = JudgeHealth(f);
    const RunState& st = f.state;
    std::printf("%s\n", NamesOfInstance(instanceText).display.c_str());
    const bool console = f.controllerAlive && st.mode == "console";
    Line("service:", console ? "console run (service: " + ServiceText(f) + ")" : ServiceText(f));
    if (f.config != 0) Line("configuration:", f.configProblem);
    // Every key's value in effect, with the section it came from.
    const std::vector<IniSource>& values = LastIniExplanation().values;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const IniSource& v = values[i];
        Line(i == 0 ? "settings:" : "",
             v.key + "=" + v.value + " (" +
                 (v.section.empty() ? std::string("the default") : "[" + v.section + "]") + ")");
    }
    Line("controller:", ControllerText(f, v));
    const std::string pipe = NamesOfInstance(instanceText).pipe;
    if (f.pipeHolder.served && !f.pipeServed) {
        // Another account's process took the name: the job starter's heartbeats reach it.
        Line("pipe:", pipe + " is held by " + PipeHolderText(f.pipeHolder) +
                          ", which does not run this installation's controller");
    } else if (v.running) {
        Line("pipe:", pipe + (f.pipeServed ? " is served" : " is not served"));
    }
    if (v.running && f.controllerAlive) {
        Line("job starter:", JobStarterText(f));
        Line("heartbeat:",
             (st.lastHeartbeat != 0 ? "last " + Ago(st.lastHeartbeat, f.now)
                                    : std::string("none since the controller started")) +
                 " (time-out " + std::to_string(st.heartbeatTimeoutMs) + " ms)");
        Line("restarts:", RestartsText(f));
        if (st.hangReports != 0) {
            Line("hang report:", st.lastHangReport + " (the newest of " +
                                     std::to_string(st.hangReports) + " since the start)");
        }
    }
    for (const RunProgram& program : f.missingPrograms)
        Line("warning:", program.MissingText());
    Line("health:", HealthLine(v));
    switch (v.health) {
        case Health::kHealthy:
        case Health::kStarting:
            return kStatusHealthy;
        case Health::kUnhealthy:
            return kStatusUnhealthy;
        case Health::kNotRunning:
            break;
    }
    return kStatusNotRunning;
}

int ShowMetrics(const char* instanceText) {
    const HealthFacts f = GatherHealthFacts(instanceText);
    PlatformBinaryStandardOutput();
    std::fputs(RenderMetrics(f, JudgeHealth(f)).c_str(), stdout);
    std::fflush(stdout);
    return 0;
}
