// The -status command (see status_command.h).
#include "host/status_command.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "config/configuration.h"
#include "platform/platform.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "supervision/heartbeat_protocol.h"
#include "supervision/job_starter.h"
#include "supervision/run_state.h"

namespace {

std::string LocalTime(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    char text[32] = "?";
    if (const std::tm* tm = std::localtime(&t))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", tm);
    return text;
}

std::string Ago(std::int64_t seconds, std::int64_t now) {
    return LocalTime(seconds) + ", " + std::to_string(now - seconds) + " s ago";
}

std::string ServiceStateText(std::uint32_t state) {
    switch (state) {
        case kServiceNotInstalled:
            return "not installed";
        case kServiceStopped:
            return "stopped";
        case kServiceStartPending:
            return "starting";
        case kServiceStopPending:
            return "stopping";
        case kServiceRunning:
            return "running";
        default:
            return "state " + std::to_string(state);
    }
}

void Line(const char* label, const std::string& text) {
    std::printf("  %-13s%s\n", label, text.c_str());
}

}  // namespace

int ShowStatus(const char* instanceText) {
    const std::string service = std::string(kBaseServiceName) + instanceText;
    const std::string pipe = std::string(kBasePipeName) + instanceText;
    const std::int64_t now = std::time(nullptr);
    std::printf("%s%s\n", kBaseDisplayName, instanceText);

    std::uint32_t serviceState = kServiceNotInstalled, servicePid = 0;
    std::string serviceText;
    if (PlatformScQueryService(service.c_str(), &serviceState, &servicePid)) {
        serviceText = ServiceStateText(serviceState);
        if (servicePid != 0) serviceText += ", process " + std::to_string(servicePid);
    } else {
        char error[kErrorTextBytes];
        serviceText = std::string("the service manager cannot be asked: ") +
                      FormatLastError(error, sizeof error);
    }

    // The state file lies beside the log that the INI names.
    const int config = GetIniValues();
    RunState st;
    const bool known = gControllerSettings.logPath[0] != '\0' &&
                       ReadRunState(StateFilePath(gControllerSettings.logPath, instanceText), &st);
    const bool published =
        known && st.ended == 0 &&
        IsRecordedProcess(st.controllerPid, st.controllerImage.c_str(), st.controllerCreated);
    const bool console = published && st.mode == "console";
    const bool running = published || serviceState == kServiceRunning ||
                         serviceState == kServiceStartPending ||
                         serviceState == kServiceStopPending;
    Line("service:", console ? "console run (service: " + serviceText + ")" : serviceText);
    if (config != kIniOk) Line("configuration:", LastIniExplanation().problem);

    if (!running) {
        Line("controller:", known && st.ended != 0
                                ? "not running (last run ended " + LocalTime(st.ended) + ")"
                                : "not running");
        Line("health:", "not running");
        return kStatusNotRunning;
    }
    std::string why;  // the first part found unhealthy
    if (published) {
        Line("controller:", "running since " + LocalTime(st.started) + ", process " +
                                std::to_string(st.controllerPid));
    } else {
        Line("controller:", "running, but its state file cannot be read");
        why = "the controller publishes no state";
    }
    const bool served = PlatformPipeServed(pipe.c_str());
    Line("pipe:", pipe + (served ? " is served" : " is not served"));
    if (!served && why.empty()) why = "its pipe is not served";
    if (!published) {
        Line("health:", "unhealthy: " + why);
        return kStatusUnhealthy;
    }

    // The command line as started, without the blank a numbered instance's ends with.
    const std::string command = st.jobStarter.substr(0, st.jobStarter.find_last_not_of(' ') + 1);
    const std::string image = command.substr(0, command.find(' '));
    const bool alive = IsRecordedProcess(st.jobStarterPid, image.c_str(), st.jobStarterCreated);
    if (st.jobStarterStarted == 0) {
        Line("job starter:", "being started");  // a kill-and-start pass is under way
    } else if (st.jobStarterPid == 0) {
        Line("job starter:", command + " could not be started");
    } else {
        Line("job starter:",
             command + ", process " + std::to_string(st.jobStarterPid) + ", started " +
                 LocalTime(st.jobStarterStarted) +
                 (alive ? "; still the process the controller started" : "; no longer runs"));
    }
    if (!alive && st.jobStarterStarted != 0 && why.empty()) {
        why = "the job starter " + image + " does not run";
    }

    const std::int64_t last = st.lastHeartbeat != 0 ? st.lastHeartbeat : st.started;
    Line("heartbeat:", (st.lastHeartbeat != 0 ? "last " + Ago(st.lastHeartbeat, now)
                                              : std::string("none since the controller started")) +
                           " (time-out " + std::to_string(st.heartbeatTimeoutMs) + " ms)");
    // The file's heartbeat time lags by up to kStateRefreshMs: only a silence longer than
    // the time-out and that lag is certain.
    if ((now - last) * 1000 > std::int64_t{st.heartbeatTimeoutMs} + kStateRefreshMs &&
        why.empty()) {
        why = "the job starter " + image + " has not heartbeated for " +
              std::to_string(now - last) + " s";
    }
    Line("restarts:", st.restarts == 0
                          ? std::string("none")
                          : std::to_string(st.restarts) + ", the last " + Ago(st.lastRestart, now) +
                                ", after " + st.lastRestartCause);
    Line("health:", why.empty() ? "healthy" : "unhealthy: " + why);
    return why.empty() ? kStatusHealthy : kStatusUnhealthy;
}
