// Gathering and judging an instance's health (see health.h).
#include "supervision/health.h"

#include <algorithm>
#include <ctime>

#include "config/configuration.h"
#include "platform/files.h"
#include "platform/pipe_client.h"
#include "platform/processes.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "supervision/job_starter.h"
#include "supervision/job_starter_identity.h"
#include "supervision/supervisor.h"

namespace {

bool ServiceRuns(const HealthFacts& f) {
    return f.serviceKnown && (f.service.state == ServiceState::kRunning ||
                              f.service.state == ServiceState::kStarting ||
                              f.service.state == ServiceState::kStopping);
}

Verdict Unhealthy(bool running, const std::string& why) {
    return {Health::kUnhealthy, running, why};
}

std::string Seconds(std::int64_t s) {
    return std::to_string(s) + " s";
}

// The controller the state file names still runs: the same process (id and creation time),
// and of the account that wrote the file (where the asker may tell the process's account).
bool RecordedControllerRuns(const RunState& st, const std::string& owner) {
    ProcessFacts facts;
    return st.controllerPid != 0 && PlatformProcessFacts(st.controllerPid, &facts) &&
           facts.created == st.controllerCreated &&
           (facts.account.empty() || facts.account == owner);
}

}  // namespace

std::string PipeHolderText(const PipeHolder& holder) {
    std::string text = "process " + (holder.pid != 0 ? std::to_string(holder.pid) : "(unknown)");
    ProcessFacts facts;
    if (holder.pid != 0 && PlatformProcessFacts(holder.pid, &facts) &&
        !facts.executablePath.empty()) {
        text += " (" + BaseNameOf(facts.executablePath) + ")";
    }
    return text + " of account " + (holder.account.empty() ? "(unknown)" : holder.account);
}

std::string RecordedJobStarterImage(const RunState& state) {
    return state.jobStarter.substr(0, state.jobStarter.find(' '));
}

std::int64_t RestartAllowanceSeconds() {
    return (kLongestRestartMs + 999) / 1000 + 1;
}

HealthFacts GatherHealthFacts(const std::string& instanceText) {
    HealthFacts f;
    f.now = std::time(nullptr);
    f.instanceText = instanceText;
    const InstanceNames names = NamesOfInstance(instanceText);
    f.serviceAsked = true;
    f.serviceKnown = PlatformQueryService(names.service.c_str(), &f.service);
    if (!f.serviceKnown) {
        char error[kErrorTextBytes];
        f.serviceError = FormatError(PlatformLastError(), error, sizeof error);
    }
    // The state file lies beside the log that the INI names.
    f.config = GetIniValues(instanceText);
    f.configProblem = LastIniExplanation().problem;
    if (gControllerSettings.logPath[0] != '\0') {
        f.statePath = StateFilePath(gControllerSettings.logPath, instanceText.c_str());
        std::string owner;
        f.stateRead = ReadRunState(f.statePath, f.service.account, &f.state, &f.stateProblem,
                                   &f.stateMissing, &owner);
        f.controllerAlive =
            f.stateRead && f.state.ended == 0 && RecordedControllerRuns(f.state, owner);
    } else {
        f.stateMissing = true;
        f.stateProblem = "the configuration names no log folder";
    }
    const RunState& st = f.state;
    // The holder's process is looked for (a look at many processes' descriptors) only when
    // it is to be named: when it may not run the controller.
    f.pipeHolder = PlatformPipeHolder(names.pipe.c_str(), false);
    f.pipeServed =
        f.pipeHolder.served && (f.pipeHolder.account.empty() ||
                                MayRunTheController(f.pipeHolder.account, f.service.account));
    if (f.pipeHolder.served && !f.pipeServed) f.pipeHolder = PlatformPipeHolder(names.pipe.c_str());
    // The job starter the file records, while it is that process, whatever it is named by now
    // and whoever asks: nothing here needs rights only some accounts have.
    f.jobStarterAlive = f.stateRead && RecordedProcessRuns(st.jobStarterPid, st.jobStarterCreated);
    const std::string image =
        f.config == kIniOk ? JobStarterImageFor(gControllerSettings.databaseSuffix) : "";
    for (const RunProgram& program : FindRunPrograms(image))
        if (program.path.empty()) f.missingPrograms.push_back(program);
    return f;
}

HealthFacts OwnHealthFacts(const RunState& state, const std::string& instanceText) {
    HealthFacts f;
    f.now = std::time(nullptr);
    f.instanceText = instanceText;
    f.stateRead = true;
    f.state = state;
    f.controllerAlive = f.state.ended == 0;  // its last write says it has ended
    f.pipeServed = f.controllerAlive;
    const RunState& st = f.state;
    f.jobStarterAlive =
        st.jobStarterPid != 0 && st.jobStarterStarted != 0 && st.jobStarterExited == 0;
    return f;
}

Verdict JudgeHealth(const HealthFacts& f) {
    const bool running = f.controllerAlive || f.pipeServed || ServiceRuns(f);
    if (!f.stateRead && !f.stateMissing) {
        return Unhealthy(running, "state file unreadable: " + f.stateProblem);
    }
    // Another account's process took the pipe's name: no controller can serve it, and the
    // job starter's heartbeats reach that process instead.
    if (f.pipeHolder.served && !f.pipeServed) {
        return Unhealthy(running, "its pipe's name is held by " + PipeHolderText(f.pipeHolder) +
                                      ", which does not run this installation's controller");
    }
    if (!running) return {Health::kNotRunning, false, ""};
    if (!f.controllerAlive) {
        return Unhealthy(true, "the controller's state file is not written");
    }
    const RunState& st = f.state;
    // A controller that still runs but no longer refreshes its file is stuck: what the file
    // says of the job starter is as old as the file.
    if (st.refreshed != 0 && f.now - st.refreshed > kRefreshOverdueSeconds) {
        return Unhealthy(true, "controller not responding: its state was last written " +
                                   Seconds(f.now - st.refreshed) + " ago");
    }
    if (!f.pipeServed) return Unhealthy(true, "its pipe is not served");
    const std::string image = RecordedJobStarterImage(st);
    const std::int64_t lag = kStateRefreshMs / 1000;
    const std::int64_t timeout = (st.heartbeatTimeoutMs + 999) / 1000;
    const std::int64_t allowance = RestartAllowanceSeconds();
    if (st.jobStarterExited != 0 && st.jobStarterStarted != 0) {
        // A first restart after an exit is on its way; a job starter that keeps exiting (the
        // back-off has grown) or is not restarted until the time-out is not healthy. Said
        // before the heartbeats: a job starter that exits cannot heartbeat.
        if (st.restartOnExit && st.backoffMs == 0 && f.now <= st.restartDue + allowance) {
            return {Health::kStarting, true, "the job starter exited and is being restarted"};
        }
        const std::string code =
            st.jobStarterExitCode >= 0
                ? " (last exit code " + std::to_string(st.jobStarterExitCode) + ")"
                : "";
        return Unhealthy(true, st.restartOnExit && st.backoffMs != 0
                                   ? "the job starter " + image + " keeps exiting" + code
                                   : "the job starter " + image + " has exited" + code);
    }
    // Two job starters in a row that never heartbeated: restarting does not help.
    if (st.restartsSinceHeartbeat >= 2) {
        const std::int64_t silence = f.now - std::max(st.lastHeartbeat, st.started);
        return Unhealthy(true, "the job starter " + image + " has not heartbeated for " +
                                   Seconds(silence) + " (restarted " +
                                   std::to_string(st.restartsSinceHeartbeat) + " times for it)");
    }
    if (st.jobStarterStarted == 0) {
        const std::int64_t under = f.now - std::max(st.lastRestart, st.started);
        if (under <= allowance)
            return {Health::kStarting, true, "the job starter is being started"};
        return Unhealthy(true, "the job starter has been being started for " + Seconds(under));
    }
    if (st.jobStarterPid == 0) {
        return Unhealthy(true, "the job starter " + image + " could not be started");
    }
    if (!f.jobStarterAlive) return Unhealthy(true, "the job starter " + image + " does not run");
    // Silence counts from the later of the last heartbeat and the current job starter's
    // start; the file's heartbeat time lags by up to kStateRefreshMs.
    const std::int64_t silence = f.now - std::max(st.lastHeartbeat, st.jobStarterStarted);
    if (silence > timeout + lag) {
        return Unhealthy(
            true, "the job starter " + image + " has not heartbeated for " + Seconds(silence));
    }
    return {Health::kHealthy, true, ""};
}

std::string HealthLine(const Verdict& v) {
    switch (v.health) {
        case Health::kHealthy:
            return "healthy";
        case Health::kStarting:
            return "starting: " + v.why;
        case Health::kUnhealthy:
            return "unhealthy: " + v.why;
        case Health::kNotRunning:
            break;
    }
    return "not running";
}
